// SHA-256 (FIPS 180-4) through the platform crypto library, which uses the
// processor's SHA extensions where present. Digests are 32 raw bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/bytes.h"

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  // Feeds `n` bytes (n may be 0).
  void update(const void* data, std::size_t n);
  // Returns the digest of everything fed; call once, after the last update.
  Digest finish();

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

// Digest of one whole buffer.
Digest sha256(ByteSpan data);
