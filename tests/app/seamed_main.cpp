// The program's entry point for tests that need its maintenance loop to run
// faster than real time. This file is built only into the test copy of the
// program; the shipped executable has no way to change its timings.
//   KAV_TEST_TIMINGS="pass=200,claim=1000,heartbeat=500,fresh=3000,day=2000,week=4000"
#undef main
#include <cstdlib>
#include <string>

#include "core/maintenance_plan.h"

int kav_program_main(int argc, char** argv);

int main(int argc, char** argv) {
  MaintenanceTimings t;
  if (const char* spec = std::getenv("KAV_TEST_TIMINGS")) {
    std::string s = spec;
    std::size_t pos = 0;
    while (pos < s.size()) {
      std::size_t end = s.find(',', pos);
      if (end == std::string::npos) end = s.size();
      const std::string item = s.substr(pos, end - pos);
      pos = end + 1;
      const auto eq = item.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = item.substr(0, eq);
      const std::int64_t v = std::atoll(item.c_str() + eq + 1);
      if (key == "pass") t.pass_ms = v;
      else if (key == "claim") t.claim_retry_ms = v;
      else if (key == "heartbeat") t.heartbeat_ms = v;
      else if (key == "fresh") t.heartbeat_fresh_ms = v;
      else if (key == "day") t.day_ms = v;
      else if (key == "week") t.week_ms = v;
    }
  }
  override_maintenance_timings(t);
  return kav_program_main(argc, argv);
}
