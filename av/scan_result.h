// The outcome of scanning one file or archive member.
#pragma once

#include <cstdint>
#include <string>

#include "platform/json_text.h"

namespace av {

enum class Verdict : int { Clean = 0, Malware = 1, Suspicious = 2, Error = 3 };

// "clean", "malware", "suspicious" or "error".
const char* verdict_name(Verdict v);

struct ScanResult {
  std::string path;        // the scanned path as given; empty for an archive member
  std::string inner;       // member path inside an archive, nested members joined by "!"
  Verdict verdict = Verdict::Clean;
  std::string name;        // detection name
  std::string detail;      // one sentence explaining the verdict
  double ai_score = -1.0;  // AI probability of malware; -1 when none
  std::string sha256;      // 64 lower-case hex digits of the scanned bytes
  std::string file_type;   // script kind or detector file kind
  std::int64_t size = 0;   // size in bytes when the scan started
  bool incomplete = false; // some content could not be examined

  bool is_threat() const { return verdict == Verdict::Malware || verdict == Verdict::Suspicious; }
};

// The ten-key JSON object: path, inner, verdict, name, detail, ai_score, sha256,
// file_type, size, incomplete.
Json to_json(const ScanResult& r);

}  // namespace av
