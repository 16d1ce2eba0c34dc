// Small helpers shared by the PE parser's sources: slicing with the parser's
// bound rules and the number renderings its warning texts use.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace ember {

// b[start, end): a negative bound counts from the end and is clamped at 0, an
// end past the view is clamped, an end not after the start gives nothing.
inline ByteSpan py_slice(ByteSpan b, std::int64_t start, std::optional<std::int64_t> end) {
  const auto n = static_cast<std::int64_t>(b.size());
  std::int64_t e = end ? *end : n;
  if (start < 0) start = std::max<std::int64_t>(0, start + n);
  if (e < 0) e = std::max<std::int64_t>(0, e + n);
  start = std::min(start, n);
  e = std::min(e, n);
  if (e <= start) return {};
  return b.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(e - start));
}

// "0x" + lower-case hex digits, "-0x" + digits of the magnitude when negative.
inline std::string hex_signed(std::int64_t v) {
  char buf[32];
  const unsigned long long mag =
      v < 0 ? static_cast<unsigned long long>(-(v + 1)) + 1ull : static_cast<unsigned long long>(v);
  std::snprintf(buf, sizeof buf, v < 0 ? "-0x%llx" : "0x%llx", mag);
  return buf;
}

// Lower-case hex digits without prefix.
inline std::string hex_plain(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
  return buf;
}

// The bytes up to the first NUL.
inline std::string cut_at_nul(ByteSpan b) {
  const std::string_view s = as_chars(b);
  return std::string(s.substr(0, s.find('\0')));
}

inline std::uint16_t le16(ByteSpan b, std::size_t off) {
  std::uint16_t v = 0;
  read_le(b, off, v);
  return v;
}
inline std::uint32_t le32(ByteSpan b, std::size_t off) {
  std::uint32_t v = 0;
  read_le(b, off, v);
  return v;
}
inline std::uint64_t le64(ByteSpan b, std::size_t off) {
  std::uint64_t v = 0;
  read_le(b, off, v);
  return v;
}

}  // namespace ember
