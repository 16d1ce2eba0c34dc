// Hashes strings into a fixed number of bins (the hashing trick used by the
// PE feature groups). Bin = |h| mod n with h the signed MurmurHash3 x86 32-bit
// value (seed 0) of the string's bytes, |INT32_MIN| taken as 2^31; a signed
// hasher subtracts the weight when h < 0. A weight of 0 changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace ember {

// MurmurHash3, x86 32-bit variant.
std::uint32_t murmur3_32(std::string_view data, std::uint32_t seed = 0);

class FeatureHasher {
 public:
  FeatureHasher(std::size_t bins, bool is_signed) : bins_(bins == 0 ? 1 : bins, 0.0), signed_(is_signed) {}
  void add(std::string_view s, double weight = 1.0);
  const std::vector<double>& bins() const { return bins_; }
  // Appends the bins, each as the nearest single-precision value.
  void append_to(std::vector<float>& out) const;

 private:
  std::vector<double> bins_;
  bool signed_;
};

}  // namespace ember
