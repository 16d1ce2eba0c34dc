#include "ember/features.h"

namespace ember {

const char* file_kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::Win32: return "Win32";
    case FileKind::Win64: return "Win64";
    case FileKind::DotNet: return ".NET";
    case FileKind::ELF: return "ELF";
    case FileKind::APK: return "APK";
    case FileKind::PDF: return "PDF";
    default: return "Other";
  }
}

// Placeholder until the content groups land: a correctly sized zero vector.
std::vector<float> extract_features(ByteSpan, FeatureInfo* info) {
  if (info) *info = FeatureInfo{};
  return std::vector<float>(kFeatureCount, 0.0f);
}

}  // namespace ember
