// Byte views and bounds-checked little-endian reads shared by every parser of
// untrusted file content. A read outside the view never happens: the checked
// readers report failure instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

inline ByteSpan as_bytes(std::string_view s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
inline std::string_view as_chars(ByteSpan b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

// Reads an unsigned little-endian integer of sizeof(T) bytes at `offset`.
// Returns false, leaving `out` unchanged, when the bytes are not all inside `b`.
template <typename T>
bool read_le(ByteSpan b, std::size_t offset, T& out) {
  if (offset > b.size() || b.size() - offset < sizeof(T)) return false;
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(b[offset + i]) << (8 * i));
  out = v;
  return true;
}

// A cursor over a byte view whose reads fail (and keep failing) past the end.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan b) : b_(b) {}
  template <typename T>
  bool read(T& out) {
    if (failed_ || !read_le(b_, pos_, out)) { failed_ = true; return false; }
    pos_ += sizeof(T);
    return true;
  }
  bool read_bytes(std::size_t n, ByteSpan& out) {
    if (failed_ || remaining() < n) { failed_ = true; return false; }
    out = b_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  std::size_t remaining() const { return b_.size() - pos_; }
  std::size_t position() const { return pos_; }
  bool failed() const { return failed_; }

 private:
  ByteSpan b_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};
