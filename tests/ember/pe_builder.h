// A small PE image generator for the parser tests: a well-formed PE32 or
// PE32+ image with three sections, which a test then damages in place.
//
// Layout: DOS header with e_lfanew 0x100 (room for a Rich header from 0x80),
// optional header at 0x118, section table right after it; sections at RVA
// 0x1000, 0x2000, 0x3000, raw data at 0x400, 0x1400, 0x2400 (0x1000 bytes
// each, filled with varied bytes), SizeOfImage 0x4000, entry point 0x1000.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test {

class PEBuilder {
 public:
  static constexpr std::uint32_t kLfanew = 0x100;
  static constexpr std::uint32_t kOpt = kLfanew + 24;

  explicit PEBuilder(bool plus = false) : plus_(plus) {
    file.assign(0x3400, '\0');
    std::uint32_t seed = 12345;
    for (std::size_t i = 0x400; i < file.size(); ++i) {
      seed = seed * 1103515245u + 12345u;
      file[i] = static_cast<char>((seed >> 16) | 1);  // never zero, evenly spread
    }
    w16(0, 0x5A4D);
    w32(60, kLfanew);
    w32(kLfanew, 0x4550);
    w16(kLfanew + 4, plus ? 0x8664 : 0x14C);
    w16(kLfanew + 6, 3);
    w16(kLfanew + 20, opt_size());
    w16(kLfanew + 22, plus ? 0x22 : 0x102);
    w16(kOpt, plus ? 0x20B : 0x10B);
    file[kOpt + 2] = 2;
    w32(kOpt + 4, 0x1000);
    w32(kOpt + 16, 0x1000);  // AddressOfEntryPoint
    w32(kOpt + 20, 0x1000);
    if (plus) {
      w64(kOpt + 24, 0x140000000ull);
    } else {
      w32(kOpt + 24, 0x2000);
      w32(kOpt + 28, 0x400000);
    }
    w32(kOpt + 32, 0x1000);  // SectionAlignment
    w32(kOpt + 36, 0x200);   // FileAlignment
    w16(kOpt + 40, 6);
    w16(kOpt + 48, 6);
    w32(kOpt + 56, 0x4000);  // SizeOfImage
    w32(kOpt + 60, 0x400);   // SizeOfHeaders
    w16(kOpt + 68, 3);
    w32(kOpt + (plus ? 108 : 92), 16);
    const char* names[3] = {".text", ".rdata", ".data"};
    const std::uint32_t flags[3] = {0x60000020, 0x40000040, 0xC0000040};
    for (int i = 0; i < 3; ++i) {
      const std::size_t e = section(i);
      std::memcpy(&file[e], names[i], std::strlen(names[i]));
      w32(e + 8, 0x1000);
      w32(e + 12, 0x1000u * (i + 1));
      w32(e + 16, 0x1000);
      w32(e + 20, 0x400u + 0x1000u * i);
      w32(e + 36, flags[i]);
    }
  }

  bool plus() const { return plus_; }
  std::uint16_t opt_size() const { return plus_ ? 240 : 224; }
  std::size_t dir_table() const { return kOpt + (plus_ ? 112 : 96); }
  std::size_t section(int i) const { return kOpt + opt_size() + 40u * static_cast<std::size_t>(i); }
  std::uint64_t image_base() const { return plus_ ? 0x140000000ull : 0x400000; }
  std::size_t thunk() const { return plus_ ? 8 : 4; }
  std::uint64_t ordinal_flag() const { return plus_ ? (1ull << 63) : 0x80000000ull; }

  // File offset of an RVA inside the three sections.
  static std::size_t at(std::uint32_t rva) { return rva - 0x1000 + 0x400; }

  void dir(int index, std::uint32_t rva, std::uint32_t size) {
    w32(dir_table() + 8u * static_cast<std::size_t>(index), rva);
    w32(dir_table() + 8u * static_cast<std::size_t>(index) + 4, size);
  }

  // Gives the last section `raw` bytes of raw data (and as virtual size),
  // growing the file and SizeOfImage to match.
  void grow_last(std::uint32_t raw) {
    const std::size_t e = section(2);
    w32(e + 8, raw);
    w32(e + 16, raw);
    file.resize(0x2400 + raw, '\x5b');
    w32(kOpt + 56, 0x3000 + ((raw + 0xFFF) & ~0xFFFu));
  }

  void w8(std::size_t off, std::uint8_t v) { ensure(off + 1); file[off] = static_cast<char>(v); }
  void w16(std::size_t off, std::uint16_t v) { put(off, v, 2); }
  void w32(std::size_t off, std::uint32_t v) { put(off, v, 4); }
  void w64(std::size_t off, std::uint64_t v) { put(off, v, 8); }
  // A thunk-sized value (4 bytes in PE32, 8 in PE32+).
  void wt(std::size_t off, std::uint64_t v) { put(off, v, thunk()); }
  void wstr(std::size_t off, const std::string& s) {  // with its NUL
    ensure(off + s.size() + 1);
    std::memcpy(&file[off], s.data(), s.size());
    file[off + s.size()] = '\0';
  }
  void wu16str(std::size_t off, const std::u16string& s) {  // UTF-16LE with its NUL
    for (std::size_t i = 0; i <= s.size(); ++i) w16(off + 2 * i, i < s.size() ? s[i] : 0);
  }
  void zero(std::size_t off, std::size_t n) {
    ensure(off + n);
    std::memset(&file[off], 0, n);
  }

  std::string file;

 private:
  void ensure(std::size_t n) {
    if (file.size() < n) file.resize(n, '\0');
  }
  void put(std::size_t off, std::uint64_t v, std::size_t n) {
    ensure(off + n);
    for (std::size_t i = 0; i < n; ++i) file[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  bool plus_;
};

}  // namespace test
