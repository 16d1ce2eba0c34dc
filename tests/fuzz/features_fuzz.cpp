// Feature extraction under arbitrary bytes: always 2568 values, no read
// outside the input, and the not-PE groups stay zero while no PE is accepted.
#include <cstddef>
#include <cstdint>

#include "ember/features.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ember::FeatureInfo info;
  const std::vector<float> v = ember::extract_features(ByteSpan(data, size), &info);
  if (v.size() != ember::kFeatureCount) __builtin_trap();
  if (v[0] != static_cast<float>(size)) __builtin_trap();
  if (!info.is_pe) {
    for (std::size_t i = ember::kPeGroupsOffset; i < v.size(); ++i) {
      if (v[i] != 0.0f) __builtin_trap();
    }
  }
  return 0;
}
