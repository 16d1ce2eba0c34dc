// The switches and limits that govern one scan, and the extraction budget one
// top-level file shares across every level of its archive inspection.
#pragma once

#include <cstdint>

namespace av {

struct ScanOptions {
  bool ai_enabled = true;
  bool scan_archives = true;
  double ai_malicious = 0.8;    // AI score at or above which a file is malware
  double ai_suspicious = 0.55;  // ... suspicious, and the trust check is consulted
  std::int64_t max_content_bytes = 536870912;  // larger files are only hashed; negative: none examined
  std::int64_t max_member_bytes = 134217728;   // largest archive member extracted
  std::int32_t max_entries = 2000;             // archive entries visited per top-level file
  std::int64_t max_total_bytes = 536870912;    // bytes extracted per top-level file
  std::int32_t max_depth = 3;                  // archive nesting levels opened
};

struct ExtractionBudget {
  std::uint64_t bytes = 0;    // uncompressed bytes extracted so far
  std::uint64_t entries = 0;  // archive entries visited so far
};

}  // namespace av
