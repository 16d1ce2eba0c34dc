// Whole feature extraction on PE-shaped input: whatever the bytes, the vector
// has 2568 finite values, the PE groups are zero unless the parser accepted
// the bytes, and nothing reads outside the input.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ember/features.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ember::FeatureInfo info;
  const std::vector<float> v = ember::extract_features(ByteSpan(data, size), &info);
  if (v.size() != ember::kFeatureCount) __builtin_trap();
  for (const float x : v)
    if (!std::isfinite(x) && size > 0) __builtin_trap();
  if (!info.is_pe) {
    for (std::size_t i = ember::kPeGroupsOffset; i < v.size(); ++i)
      if (v[i] != 0.0f) __builtin_trap();
  } else if (info.section_count < 0 || info.overlay_size < 0 || info.overlay_size > static_cast<double>(size)) {
    __builtin_trap();
  }
  return 0;
}
