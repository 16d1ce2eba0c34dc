// The 2568-value feature vector the detection models read, and the facts the
// extractor reports beside it. Pure computation: no I/O, no shared state,
// never throws for malformed input, time linear in the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace ember {

enum class FileKind : int { Other = 0, Win32 = 1, Win64 = 2, DotNet = 3, ELF = 4, APK = 5, PDF = 6 };

// "Other", "Win32", "Win64", ".NET", "ELF", "APK", "PDF"; out-of-range values give "Other".
const char* file_kind_name(FileKind kind);

struct FeatureInfo {
  bool is_pe = false;
  FileKind kind = FileKind::Other;
  bool is_dll = false;
  bool is_signed = false;
  std::vector<std::string> signers;
  std::int32_t section_count = 0;
  std::vector<std::string> imports;
  double entropy = 0.0;
  double overlay_size = 0.0;
};

constexpr std::size_t kFeatureCount = 2568;

// The feature vector of `bytes`; fills *info when given.
std::vector<float> extract_features(ByteSpan bytes, FeatureInfo* info);

}  // namespace ember
