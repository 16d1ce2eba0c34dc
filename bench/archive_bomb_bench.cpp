// Scans archives built to exhaust memory or time with the default limits and
// prints, per archive, the scan time, the outcome, the extraction budget used
// and the peak resident memory the scan added (VmHWM after the scan minus
// VmRSS before it; the peak is reset through /proc/self/clear_refs first).
// One member is held per nesting level, so archives whose members are small
// archives stay within the member limit plus a small constant; the "chain"
// archive, an archive member that itself holds a large member, holds one
// large buffer per level and is shown for comparison.
//   archive_bomb_bench
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ai/detector.h"
#include "av/scanner.h"
#include "tests/support/zip_writer.h"

namespace {

using test::ZipEntry;
using test::zip;

constexpr std::uint64_t MiB = 1024 * 1024;

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  return -1;
}

bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

struct Fixture {
  const char* name;
  std::string bytes;
  bool within_member_limit;  // expected to stay within the member limit plus a constant
};

std::vector<Fixture> fixtures() {
  std::vector<Fixture> f;
  // 1 GiB of zeros in one member: refused by its declared size.
  f.push_back({"ratio-1GiB", zip({{.name = "zeros.bin", .data = "", .run = 1024 * MiB, .crc = 0}}), true});
  // 127 MiB of zeros, declared truthfully: extracted whole.
  f.push_back({"ratio-127MiB", zip({{.name = "zeros.bin", .data = "", .run = 127 * MiB}}), true});
  // 1 GiB of zeros declared as 1000 bytes.
  f.push_back({"understated", zip({{.name = "liar.bin", .data = "", .run = 1024 * MiB, .declared_size = 1000, .crc = 0}}), true});
  // 16 bytes declared as 128 MiB.
  f.push_back({"overstated", zip({{.name = "liar.bin", .data = "0123456789abcdef", .declared_size = 128 * MiB}}), true});
  // 16 x 16 x 16 members of 16 MiB (64 GiB declared in all); at each level
  // the 16 directory records share one local record, so the file stays small.
  const auto sixteen = [](const std::string& name, const std::string& data, std::uint64_t run) {
    std::vector<ZipEntry> e{{.name = name, .data = data, .run = run}};
    for (int i = 1; i < 16; ++i) e.push_back({.name = name, .shares = 0});
    return zip(e);
  };
  const std::string leaf = sixteen("zeros.bin", "", 16 * MiB);
  const std::string mid = sixteen("leaf.zip", leaf, 0);
  f.push_back({"nested-16^3", sixteen("mid.zip", mid, 0), true});
  // 3000 directory records sharing one local record of 100 MiB.
  std::vector<ZipEntry> overlap{{.name = "shared0", .data = "", .run = 100 * MiB}};
  for (int i = 1; i < 3000; ++i) overlap.push_back({.name = "shared" + std::to_string(i), .shares = 0});
  f.push_back({"overlap", zip(overlap), true});
  // Ten levels of nesting.
  std::string deep = zip({{.name = "eicar.com", .data = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"}});
  for (int i = 0; i < 10; ++i) deep = zip({{.name = "level" + std::to_string(i) + ".zip", .data = deep}});
  f.push_back({"deep-10", deep, true});
  // 65535 empty members.
  f.push_back({"entries-65535", zip(std::vector<ZipEntry>(65535, ZipEntry{.name = "e", .data = ""})), true});
  // An archive member (deflated) that stores a 120 MiB member: two large buffers at once.
  const std::string stored = zip({{.name = "zeros.bin", .data = "", .run = 120 * MiB, .method = 0}});
  f.push_back({"chain-2x120MiB", zip({{.name = "inner.zip", .data = stored}}), false});
  return f;
}

}  // namespace

int main() {
  const av::Scanner scanner(nullptr, std::make_shared<ai::Detector>());
  const av::ScanOptions options;
  const long member_limit_kib = options.max_member_bytes / 1024;
  std::printf("limits: member %lld MiB, total %lld MiB, entries %d, depth %d\n",
              static_cast<long long>(options.max_member_bytes / MiB), static_cast<long long>(options.max_total_bytes / MiB),
              options.max_entries, options.max_depth);
  long worst_kib = 0;
  for (const Fixture& fx : fixtures()) {
    malloc_trim(0);
    const bool reset = reset_peak();
    const long before = status_kib("VmRSS");
    const auto t0 = std::chrono::steady_clock::now();
    av::ScanResult r;
    r.path = std::string(fx.name) + ".zip";
    av::ExtractionBudget budget;
    scanner.scan_buffer(as_bytes(fx.bytes), r, options, budget, 0, std::string());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long peak = status_kib("VmHWM");
    const long added = reset ? peak - before : -1;
    if (fx.within_member_limit && added > worst_kib) worst_kib = added;
    std::printf("%-15s %8zu bytes  %6.2f s  entries %5llu  extracted %4llu MiB  peak +%7.1f MiB  %s %s| %.110s\n", fx.name,
                fx.bytes.size(), seconds, static_cast<unsigned long long>(budget.entries),
                static_cast<unsigned long long>(budget.bytes / MiB), added / 1024.0, av::verdict_name(r.verdict),
                r.incomplete ? "incomplete " : "", r.detail.c_str());
  }
  std::printf("largest peak added by the other archives: %.1f MiB; member limit %ld MiB; excess over the limit %.1f MiB\n",
              worst_kib / 1024.0, member_limit_kib / 1024, std::max(0L, worst_kib - member_limit_kib) / 1024.0);
  std::printf("process peak RSS: %.1f MiB\n", status_kib("VmHWM") / 1024.0);
  return 0;
}
