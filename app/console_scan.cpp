#include "app/console_scan.h"

#include "av/scan_result.h"
#include "core/protection_controller.h"
#include "platform/file_system.h"

namespace {

struct Counters {
  unsigned long long threats = 0;
  unsigned long long errors = 0;
};

void report_file(ProtectionController& controller, const std::string& path, bool quarantine, std::FILE* out,
                 Counters& counters) {
  const av::ScanResult r = controller.scan_path(path);
  if (r.verdict == av::Verdict::Error || r.incomplete) ++counters.errors;
  const char* p = path.c_str();
  switch (r.verdict) {
    case av::Verdict::Malware:
    case av::Verdict::Suspicious: {
      std::fprintf(out, "%s  %s  [%s] %s\n", r.verdict == av::Verdict::Malware ? "MALWARE" : "SUSPICIOUS", p,
                   r.name.c_str(), r.detail.c_str());
      if (r.incomplete) std::fputs("  Archive scan incomplete: some contents could not be checked.\n", out);
      ++counters.threats;
      if (quarantine) {
        const std::string id = controller.quarantine_path(path);
        std::fputs(id.empty() ? "  (could not quarantine)\n" : "  quarantined\n", out);
      }
      break;
    }
    case av::Verdict::Error:
      std::fprintf(out, "ERROR  %s", p);
      if (!r.inner.empty()) std::fprintf(out, "  (archive member: %s)", r.inner.c_str());
      std::fprintf(out, "  %s\n", r.detail.empty() ? "The file could not be fully scanned." : r.detail.c_str());
      break;
    default:
      std::fprintf(out, "clean  %s\n", p);
      if (r.incomplete) std::fputs("  Scan incomplete: some contents could not be checked.\n", out);
      break;
  }
  std::fflush(out);
}

}  // namespace

int run_console_scan(ProtectionController& controller, const std::vector<std::string>& paths, bool quarantine,
                     std::FILE* out, std::FILE* err) {
  if (paths.empty()) {
    std::fputs("No paths supplied. Use --scan PATH... to scan files or folders.\n", err);
    return 2;
  }
  Counters counters;
  for (const std::string& arg : paths) {
    FileStatus st;
    if (file_status(to_native(arg), st, /*follow=*/true) && st.directory) {
      controller.walk_files(
          arg, [&](const std::string& file) { report_file(controller, file, quarantine, out, counters); },
          [&](const std::string& where, const std::string& message) {
            // A folder the walk could not finish is reported like a file that
            // could not be scanned, so the summary never hides it.
            std::fprintf(out, "ERROR  %s  %s\n", where.c_str(), message.c_str());
            ++counters.errors;
          });
    } else {
      report_file(controller, arg, quarantine, out, counters);
    }
  }
  std::fprintf(out, "%llu threat(s) found, %llu scan error(s).\n", counters.threats, counters.errors);
  if (counters.errors > 0) std::fputs("Scan incomplete: some files could not be fully scanned.\n", out);
  std::fflush(out);
  if (counters.threats > 0) return 1;
  return counters.errors > 0 ? 2 : 0;
}
