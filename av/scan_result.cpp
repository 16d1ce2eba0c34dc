#include "av/scan_result.h"

namespace av {

const char* verdict_name(Verdict v) {
  switch (v) {
    case Verdict::Clean: return "clean";
    case Verdict::Malware: return "malware";
    case Verdict::Suspicious: return "suspicious";
    case Verdict::Error: return "error";
  }
  return "error";
}

Json to_json(const ScanResult& r) {
  return Json{{"path", r.path},         {"inner", r.inner},         {"verdict", verdict_name(r.verdict)},
              {"name", r.name},         {"detail", r.detail},       {"ai_score", r.ai_score},
              {"sha256", r.sha256},     {"file_type", r.file_type}, {"size", r.size},
              {"incomplete", r.incomplete}};
}

}  // namespace av
