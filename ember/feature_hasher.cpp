#include "ember/feature_hasher.h"

#include <bit>
#include <cstring>

namespace ember {

std::uint32_t murmur3_32(std::string_view data, std::uint32_t seed) {
  constexpr std::uint32_t c1 = 0xcc9e2d51, c2 = 0x1b873593;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t blocks = n / 4;
  std::uint32_t h = seed;
  for (std::size_t i = 0; i < blocks; ++i) {
    std::uint32_t k = static_cast<std::uint32_t>(p[4 * i]) | static_cast<std::uint32_t>(p[4 * i + 1]) << 8 |
                      static_cast<std::uint32_t>(p[4 * i + 2]) << 16 | static_cast<std::uint32_t>(p[4 * i + 3]) << 24;
    k *= c1;
    k = std::rotl(k, 15);
    k *= c2;
    h ^= k;
    h = std::rotl(h, 13);
    h = h * 5 + 0xe6546b64;
  }
  const unsigned char* tail = p + blocks * 4;
  std::uint32_t k = 0;
  switch (n & 3) {
    case 3: k ^= static_cast<std::uint32_t>(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= static_cast<std::uint32_t>(tail[1]) << 8; [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = std::rotl(k, 15);
      k *= c2;
      h ^= k;
  }
  h ^= static_cast<std::uint32_t>(n);
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  h ^= h >> 16;
  return h;
}

void FeatureHasher::add(std::string_view s, double weight) {
  if (weight == 0.0) return;
  const std::int32_t h = static_cast<std::int32_t>(murmur3_32(s));
  // |h| in 64 bits, so INT32_MIN becomes 2^31.
  const std::uint64_t magnitude = h < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(h)) : static_cast<std::uint64_t>(h);
  const std::size_t bin = static_cast<std::size_t>(magnitude % bins_.size());
  bins_[bin] += (signed_ && h < 0) ? -weight : weight;
}

void FeatureHasher::append_to(std::vector<float>& out) const {
  for (const double v : bins_) out.push_back(static_cast<float>(v));
}

}  // namespace ember
