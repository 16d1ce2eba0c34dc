// The timing decisions of the controller's maintenance loop, kept apart from
// the loop so they can be tested with any clock: when to retry the ownership
// claim, when to write the heartbeat, and what the scan schedule asks for.
// (The automatic update's timing is the updater's AutoUpdateSchedule.) All times are now_ms() values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/json_text.h"

struct MaintenanceTimings {
  std::int64_t pass_ms = 5000;               // one maintenance pass per wake-up
  std::int64_t claim_retry_ms = 30000;       // a waiting process retries the claim this often
  std::int64_t heartbeat_ms = 10000;         // the owner rewrites rt_status.json this often
  std::int64_t heartbeat_fresh_ms = 90000;   // a heartbeat younger than this is live
  std::int64_t day_ms = 86400000;            // "daily" schedule period
  std::int64_t week_ms = 604800000;          // any other schedule's period
};

// The timings in force. Only test builds replace them (override_maintenance_timings
// is called by the test harness's own entry point, never by the program).
const MaintenanceTimings& maintenance_timings();
void override_maintenance_timings(const MaintenanceTimings& timings);

class MaintenancePlan {
 public:
  MaintenancePlan(std::int64_t thread_started, const MaintenanceTimings& timings);
  std::int64_t started() const { return started_; }

  // A waiting process claims on the first pass and then every claim_retry_ms.
  bool claim_due(std::int64_t now);
  // The first pass always writes; then every heartbeat_ms.
  bool heartbeat_due(std::int64_t now);
  enum class ScheduleAction { None, SetBaseline, StartScan };
  // What the "schedule" and "last_scheduled_scan" settings ask for now.
  ScheduleAction schedule_action(const Json& settings, std::int64_t now, bool scanning) const;

 private:
  MaintenanceTimings t_;
  std::int64_t started_;
  std::optional<std::int64_t> last_claim_;
  std::optional<std::int64_t> last_heartbeat_;
};
