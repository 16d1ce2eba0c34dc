// The 2568-value feature vector the detection models read, and the facts the
// extractor reports beside it. Index i of the vector always means the same
// value: the group offsets below are the contract with the model files.
// Pure computation: no I/O, no shared state, never throws for malformed input,
// never reads outside the input, time linear in the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace ember {

enum class FileKind : int { Other = 0, Win32 = 1, Win64 = 2, DotNet = 3, ELF = 4, APK = 5, PDF = 6 };

// "Other", "Win32", "Win64", ".NET", "ELF", "APK", "PDF"; out-of-range values give "Other".
const char* file_kind_name(FileKind kind);

struct FeatureInfo {
  bool is_pe = false;                 // the PE parser accepted the bytes
  FileKind kind = FileKind::Other;
  bool is_dll = false;
  bool is_signed = false;
  std::vector<std::string> signers;
  std::int32_t section_count = 0;
  std::vector<std::string> imports;   // "library:function" keys in hashing order
  double entropy = 0.0;               // bits per byte of the whole file
  double overlay_size = 0.0;
};

// Group layout: first index and count of each group.
constexpr std::size_t kGeneralOffset = 0, kGeneralCount = 7;
constexpr std::size_t kByteHistogramOffset = 7, kByteHistogramCount = 256;
constexpr std::size_t kByteEntropyOffset = 263, kByteEntropyCount = 256;
constexpr std::size_t kStringsOffset = 519, kStringsCount = 177;
// The eight PE groups (zeros when the input is not PE); see ember/pe_features.h.
constexpr std::size_t kHeaderOffset = 696, kHeaderCount = 74;
constexpr std::size_t kSectionsOffset = 770, kSectionsCount = 224;
constexpr std::size_t kImportsOffset = 994, kImportsCount = 1282;
constexpr std::size_t kExportsOffset = 2276, kExportsCount = 129;
constexpr std::size_t kDataDirectoriesOffset = 2405, kDataDirectoriesCount = 34;
constexpr std::size_t kRichHeaderOffset = 2439, kRichHeaderCount = 33;
constexpr std::size_t kAuthenticodeOffset = 2472, kAuthenticodeCount = 8;
constexpr std::size_t kWarningsOffset = 2480, kWarningsCount = 88;
constexpr std::size_t kPeGroupsOffset = kHeaderOffset;
constexpr std::size_t kFeatureCount = 2568;
constexpr std::size_t kPeGroupsCount = kFeatureCount - kPeGroupsOffset;
static_assert(kWarningsOffset + kWarningsCount == kFeatureCount);

// Within the Strings group: the 77 pattern counters start here.
constexpr std::size_t kStringPatternsIndex = 100;
constexpr std::size_t kStringPatternCount = 77;

// The feature vector of `bytes` (always kFeatureCount values); overwrites *info when given.
std::vector<float> extract_features(ByteSpan bytes, FeatureInfo* info);

// Sum with the fixed pairwise order (eight running sums for 8..128 values,
// halves split at 8 * floor(n / 16) above), so that divisors match to the bit.
float pairwise_sum(std::span<const float> values);
double pairwise_sum(std::span<const double> values);

// Shannon entropy in bits per byte (0 for empty input); terms are summed in
// the order in which each byte value first occurs.
double byte_entropy(ByteSpan bytes);

// The kind of a file the PE parser refused: ELF by magic; "PK" 03 04 with both
// "AndroidManifest.xml" and "classes.dex" anywhere is APK (other ZIPs Other);
// otherwise PDF when "%PDF-" lies within the first min(size, 1024) bytes.
FileKind non_pe_kind(ByteSpan bytes);

}  // namespace ember
