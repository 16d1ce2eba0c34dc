// A small ZIP writer for test fixtures, able to produce sound archives and the
// damaged variants a scanner must survive: lying sizes and CRCs, encryption
// and method flags, members sharing one local record (overlap bombs), cut
// central directories. Deflate uses one fixed-Huffman block in which runs of
// a repeated byte become length-258 matches, so a member of many zero bytes
// compresses about 160:1 without a compression library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test {

inline std::uint32_t crc32_update(std::uint32_t crc, std::string_view data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (const unsigned char b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// The CRC-32 of `data` followed by `run` copies of `fill`.
inline std::uint32_t crc32_of(std::string_view data, std::uint64_t run = 0, char fill = 0) {
  std::uint32_t crc = crc32_update(0, data);
  const std::string chunk(65536, fill);
  while (run > 0) {
    const std::size_t n = run < chunk.size() ? static_cast<std::size_t>(run) : chunk.size();
    crc = crc32_update(crc, std::string_view(chunk).substr(0, n));
    run -= n;
  }
  return crc;
}

class BitWriter {
 public:
  void bits(std::uint32_t value, int count) {  // least significant bit first
    for (int i = 0; i < count; ++i) bit((value >> i) & 1);
  }
  void code(std::uint32_t value, int count) {  // Huffman codes go most significant bit first
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  std::string finish() {
    if (used_) out_.push_back(static_cast<char>(current_));
    used_ = 0;
    current_ = 0;
    return out_;
  }

 private:
  void bit(std::uint32_t b) {
    current_ |= static_cast<std::uint8_t>(b << used_);
    if (++used_ == 8) {
      out_.push_back(static_cast<char>(current_));
      used_ = 0;
      current_ = 0;
    }
  }
  std::string out_;
  std::uint8_t current_ = 0;
  int used_ = 0;
};

inline void fixed_literal(BitWriter& w, unsigned v) {
  if (v < 144) w.code(0x30 + v, 8);
  else if (v < 256) w.code(0x190 + (v - 144), 9);
  else if (v < 280) w.code(v - 256, 7);
  else w.code(0xC0 + (v - 280), 8);
}

// A match of `length` (3 to 258) bytes at distance 1: the previous byte repeated.
inline void fixed_repeat(BitWriter& w, unsigned length) {
  static const unsigned base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const int extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  unsigned i = 28;
  while (base[i] > length) --i;
  fixed_literal(w, 257 + i);
  w.bits(length - base[i], extra[i]);
  w.code(0, 5);  // distance code 0: distance 1
}

// Emits `count` copies of `byte`, the first as a literal unless `after_same`
// (the previous output byte already equals it).
inline void fixed_run(BitWriter& w, unsigned char byte, std::uint64_t count, bool after_same) {
  if (count == 0) return;
  if (!after_same) {
    fixed_literal(w, byte);
    --count;
  }
  while (count >= 258) {
    fixed_repeat(w, 258);
    count -= 258;
  }
  if (count >= 3) fixed_repeat(w, static_cast<unsigned>(count));
  else
    while (count-- > 0) fixed_literal(w, byte);
}

// A raw deflate stream of `data` followed by `run` copies of `fill`. Runs of
// one byte value, in `data` as in the fill, become distance-1 matches.
inline std::string deflate_fixed(std::string_view data, std::uint64_t run = 0, char fill = 0) {
  BitWriter w;
  w.bits(1, 1);  // final block
  w.bits(1, 2);  // fixed Huffman codes
  std::size_t i = 0;
  while (i < data.size()) {
    std::size_t j = i + 1;
    while (j < data.size() && data[j] == data[i]) ++j;
    fixed_run(w, static_cast<unsigned char>(data[i]), j - i, false);
    i = j;
  }
  fixed_run(w, static_cast<unsigned char>(fill), run, !data.empty() && data.back() == fill);
  fixed_literal(w, 256);  // end of block
  return w.finish();
}

struct ZipEntry {
  std::string name{};
  std::string data{};         // content
  std::uint64_t run = 0;      // followed by this many `fill` bytes
  char fill = 0;
  std::uint16_t method = 8;   // 0 stored, 8 deflate; any other number stores `data` under that number
  std::uint16_t flags = 0;    // general-purpose bits; bit 0 marks the member encrypted
  std::uint32_t external_attributes = 0;
  // Overrides that damage the archive.
  std::optional<std::uint32_t> declared_size{};
  std::optional<std::uint32_t> declared_compressed{};
  std::optional<std::uint32_t> crc{};
  std::optional<std::string> payload{};  // the stored bytes instead of the encoded content
  int shares = -1;  // >= 0: no local record of its own; points at that earlier entry's record
};

struct ZipArchive {
  std::string bytes;
  std::vector<std::size_t> local_offsets;
  std::size_t central_offset = 0;
};

inline void put16(std::string& s, std::uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

inline ZipArchive build_zip(const std::vector<ZipEntry>& entries, std::optional<std::uint16_t> eocd_count = {}) {
  struct Record {
    std::uint32_t crc, compressed, size;
    std::size_t offset;
  };
  // The fields a local header and its central directory record share, from
  // the flags to the name length.
  auto put_shared_fields = [](std::string& s, const ZipEntry& origin, const Record& r, std::size_t name_size) {
    put16(s, origin.flags);
    put16(s, origin.method);
    put16(s, 0);
    put16(s, 0x21);
    put32(s, r.crc);
    put32(s, r.compressed);
    put32(s, r.size);
    put16(s, static_cast<std::uint32_t>(name_size));
  };
  ZipArchive out;
  std::vector<Record> records;
  for (const ZipEntry& e : entries) {
    if (e.shares >= 0) {
      Record r = records.at(static_cast<std::size_t>(e.shares));
      if (e.declared_size) r.size = *e.declared_size;
      if (e.crc) r.crc = *e.crc;
      records.push_back(r);
      out.local_offsets.push_back(r.offset);
      continue;
    }
    std::string stored;
    if (e.payload) stored = *e.payload;
    else if (e.method == 8) stored = deflate_fixed(e.data, e.run, e.fill);
    else stored = e.data + std::string(static_cast<std::size_t>(e.run), e.fill);
    Record r{e.crc ? *e.crc : crc32_of(e.data, e.run, e.fill),
             e.declared_compressed.value_or(static_cast<std::uint32_t>(stored.size())),
             e.declared_size.value_or(static_cast<std::uint32_t>(e.data.size() + e.run)), out.bytes.size()};
    std::string& s = out.bytes;
    put32(s, 0x04034b50);
    put16(s, 20);
    put_shared_fields(s, e, r, e.name.size());
    put16(s, 0);
    s += e.name;
    s += stored;
    records.push_back(r);
    out.local_offsets.push_back(r.offset);
  }
  out.central_offset = out.bytes.size();
  std::string& s = out.bytes;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& e = entries[i];
    const ZipEntry& origin = e.shares >= 0 ? entries[static_cast<std::size_t>(e.shares)] : e;
    const Record& r = records[i];
    put32(s, 0x02014b50);
    put16(s, 20);
    put16(s, 20);
    put_shared_fields(s, origin, r, e.name.size());
    put16(s, 0);
    put16(s, 0);
    put16(s, 0);
    put16(s, 0);
    put32(s, e.external_attributes);
    put32(s, static_cast<std::uint32_t>(r.offset));
    s += e.name;
  }
  const std::size_t central_size = s.size() - out.central_offset;
  const std::uint16_t count = eocd_count.value_or(static_cast<std::uint16_t>(entries.size()));
  put32(s, 0x06054b50);
  put16(s, 0);
  put16(s, 0);
  put16(s, count);
  put16(s, count);
  put32(s, static_cast<std::uint32_t>(central_size));
  put32(s, static_cast<std::uint32_t>(out.central_offset));
  put16(s, 0);
  return out;
}

inline std::string zip(const std::vector<ZipEntry>& entries) { return build_zip(entries).bytes; }

}  // namespace test
