// ember::PE over generated images damaged by hand: each case breaks one
// structure and expects the exact warning (or exception) the parser gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ember/pe.h"
#include "tests/ember/pe_builder.h"

namespace {

using test::PEBuilder;
using ::testing::Contains;
using ::testing::HasSubstr;

constexpr std::uint32_t kFar = 0x900000;  // an RVA in no section and beyond the file

std::string off(std::uint32_t rva) { return std::to_string(PEBuilder::at(rva)); }
std::string corrupt(const std::string& name, const std::string& offset, bool quoted = false) {
  return "Corrupt header \"" + name + "\" at file offset " + offset +
         (quoted ? ". Exception: 'Data length less than expected header length.'"
                 : ". Exception: Data length less than expected header length.");
}

// One import descriptor at `rva` followed by a zero descriptor.
void import_descriptor(PEBuilder& b, std::uint32_t rva, std::uint32_t oft, std::uint32_t name, std::uint32_t ft) {
  const std::size_t o = PEBuilder::at(rva);
  b.w32(o, oft);
  b.w32(o + 4, 0);
  b.w32(o + 8, 0);
  b.w32(o + 12, name);
  b.w32(o + 16, ft);
  b.zero(o + 20, 20);
}

// A thunk table of `values` and its terminator at `rva`.
void thunks(PEBuilder& b, std::uint32_t rva, const std::vector<std::uint64_t>& values) {
  std::size_t o = PEBuilder::at(rva);
  for (const auto v : values) {
    b.wt(o, v);
    o += b.thunk();
  }
  b.wt(o, 0);
}

void hint_name(PEBuilder& b, std::uint32_t rva, const std::string& name) {
  b.w16(PEBuilder::at(rva), 0);
  b.wstr(PEBuilder::at(rva) + 2, name);
}

// Imports `names` from `dll`: descriptor at 0x1100, ILT 0x1200, IAT 0x1300,
// dll name 0x1400, hint/name entries from 0x1500.
void simple_imports(PEBuilder& b, const std::string& dll, const std::vector<std::string>& names) {
  std::vector<std::uint64_t> t;
  std::uint32_t r = 0x1500;
  for (const auto& n : names) {
    hint_name(b, r, n);
    t.push_back(r);
    r += 0x20;
  }
  thunks(b, 0x1200, t);
  thunks(b, 0x1300, t);
  b.wstr(PEBuilder::at(0x1400), dll);
  import_descriptor(b, 0x1100, 0x1200, 0x1400, 0x1300);
  b.dir(1, 0x1100, 40);
}

// Export directory at 0x2000 (size 0x800): functions 0x2100, names 0x2300,
// ordinals 0x2500, strings from 0x2600 (in the .rdata section).
struct Export {
  std::string name;  // empty: by ordinal only
  std::uint32_t address;
};
void exports(PEBuilder& b, const std::vector<Export>& list, std::uint32_t functions_count = 0) {
  const std::size_t d = PEBuilder::at(0x2000);
  b.zero(d, 40);
  std::uint32_t named = 0;
  for (const auto& e : list) named += !e.name.empty();
  b.w32(d + 16, 1);  // Base
  b.w32(d + 20, functions_count ? functions_count : static_cast<std::uint32_t>(list.size()));
  b.w32(d + 24, named);
  b.w32(d + 28, 0x2100);
  b.w32(d + 32, 0x2300);
  b.w32(d + 36, 0x2500);
  std::uint32_t s = 0x2600, n = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    b.w32(PEBuilder::at(0x2100) + 4 * i, list[i].address);
    if (list[i].name.empty()) continue;
    b.w32(PEBuilder::at(0x2300) + 4 * n, s);
    b.w16(PEBuilder::at(0x2500) + 2 * n, static_cast<std::uint16_t>(i));
    b.wstr(PEBuilder::at(s), list[i].name);
    s += static_cast<std::uint32_t>(list[i].name.size() + 1);
    ++n;
  }
  b.dir(0, 0x2000, 0x800);
}

// A resource directory header with `named` + `ids` entries at file offset o.
void res_dir(PEBuilder& b, std::size_t o, std::uint16_t named, std::uint16_t ids) {
  b.zero(o, 16);
  b.w16(o + 12, named);
  b.w16(o + 14, ids);
}
void res_entry(PEBuilder& b, std::size_t o, std::uint32_t name, std::uint32_t offset_to_data) {
  b.w32(o, name);
  b.w32(o + 4, offset_to_data);
}
void res_data(PEBuilder& b, std::size_t o, std::uint32_t rva, std::uint32_t size) {
  b.zero(o, 16);
  b.w32(o, rva);
  b.w32(o + 4, size);
}

// A version resource: type 16 -> id 1 -> language 0x409 -> data entry at
// resource offset 0x60 describing `size` bytes at RVA `rva`; the resource
// directory is at 0x3000.
void version_resource(PEBuilder& b, std::uint32_t rva, std::uint32_t size) {
  const std::size_t r = PEBuilder::at(0x3000);
  res_dir(b, r, 0, 1);
  res_entry(b, r + 16, 16, 0x80000018);
  res_dir(b, r + 0x18, 0, 1);
  res_entry(b, r + 0x28, 1, 0x80000030);
  res_dir(b, r + 0x30, 0, 1);
  res_entry(b, r + 0x40, 0x409, 0x60);
  res_data(b, r + 0x60, rva, size);
  b.dir(2, 0x3000, 0x100);
}

// A well-formed VS_VERSIONINFO block at file offset o; returns its length.
std::size_t version_block(PEBuilder& b, std::size_t o, const std::u16string& key = u"VS_VERSION_INFO") {
  auto align = [&](std::size_t x) { return (x + 3) & ~std::size_t{3}; };
  std::size_t p = o;
  b.w16(p + 2, 52);
  b.w16(p + 4, 0);
  b.wu16str(p + 6, key);
  p = align(p + 6 + 2 * (key.size() + 1));
  b.zero(p, 52);
  b.w32(p, 0xFEEF04BD);
  p = align(p + 52);
  // StringFileInfo { StringTable "040904b0" { String "Name" = "Value" } }
  const std::size_t sfi = p;
  b.w16(sfi + 2, 0);
  b.w16(sfi + 4, 1);
  b.wu16str(sfi + 6, u"StringFileInfo");
  const std::size_t st = align(sfi + 6 + 2 * 15);
  b.w16(st + 2, 0);
  b.w16(st + 4, 1);
  b.wu16str(st + 6, u"040904b0");
  const std::size_t str = align(st + 6 + 2 * 9);
  b.w16(str + 2, 6);
  b.w16(str + 4, 1);
  b.wu16str(str + 6, u"Name");
  const std::size_t val = align(str + 6 + 2 * 5);
  b.wu16str(val, u"Value");
  const std::size_t str_end = align(val + 12);
  b.w16(str, static_cast<std::uint16_t>(str_end - str));
  b.w16(st, static_cast<std::uint16_t>(str_end - st));
  b.w16(sfi, static_cast<std::uint16_t>(str_end - sfi));
  // VarFileInfo { Var "Translation" = 0x04b00409 }
  const std::size_t vfi = str_end;
  b.w16(vfi + 2, 0);
  b.w16(vfi + 4, 1);
  b.wu16str(vfi + 6, u"VarFileInfo");
  const std::size_t var = align(vfi + 6 + 2 * 12);
  b.w16(var + 2, 4);
  b.w16(var + 4, 0);
  b.wu16str(var + 6, u"Translation");
  const std::size_t value = align(var + 6 + 2 * 12);
  b.w32(value, 0x04B00409);
  const std::size_t end = value + 4;
  b.w16(var, static_cast<std::uint16_t>(end - var));
  b.w16(vfi, static_cast<std::uint16_t>(end - vfi));
  b.w16(o, static_cast<std::uint16_t>(end - o));
  return end - o;
}

// Relocation block at RVA 0x2000 with the given entries; directory 5.
void relocations(PEBuilder& b, std::uint32_t page, std::uint32_t block_size, const std::vector<std::uint16_t>& entries) {
  const std::size_t o = PEBuilder::at(0x2000);
  b.w32(o, page);
  b.w32(o + 4, block_size);
  for (std::size_t i = 0; i < entries.size(); ++i) b.w16(o + 8 + 2 * i, entries[i]);
  b.dir(5, 0x2000, block_size ? block_size : 8);
}

// One debug directory entry at 0x2000 of `type` whose payload is `payload` at file offset 0x2000.
void debug_entry(PEBuilder& b, std::uint32_t type, const std::string& payload, std::uint32_t size_of_data) {
  const std::size_t o = PEBuilder::at(0x2000);
  b.zero(o, 28);
  b.w32(o + 12, type);
  b.w32(o + 16, size_of_data);
  b.w32(o + 24, 0x2000);
  for (std::size_t i = 0; i < payload.size(); ++i) b.w8(0x2000 + i, static_cast<std::uint8_t>(payload[i]));
  b.dir(6, 0x2000, 28);
}

// Load configuration at 0x2000 declaring `size`.
void load_config(PEBuilder& b, std::uint32_t size) {
  b.zero(PEBuilder::at(0x2000), 0x200);
  b.w32(PEBuilder::at(0x2000), size);
  b.dir(10, 0x2000, size);
}

// PE32+ exception directory at 0x2000 of (begin, unwind) entries.
void runtime_functions(PEBuilder& b, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
  const std::size_t o = PEBuilder::at(0x2000);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    b.w32(o + 12 * i, entries[i].first);
    b.w32(o + 12 * i + 4, entries[i].first + 0x10);
    b.w32(o + 12 * i + 8, entries[i].second);
  }
  b.dir(3, 0x2000, static_cast<std::uint32_t>(12 * entries.size()));
}
// UNWIND_INFO at RVA: version, flags, codes (op, info) pairs, optional chained entry.
void unwind_info(PEBuilder& b, std::uint32_t rva, int version, int flags, const std::vector<std::uint8_t>& code_ops,
                 std::uint32_t chained = 0) {
  const std::size_t o = PEBuilder::at(rva);
  b.w8(o, static_cast<std::uint8_t>(version | (flags << 3)));
  b.w8(o + 1, 0);
  b.w8(o + 2, static_cast<std::uint8_t>(code_ops.size()));
  b.w8(o + 3, 0);
  for (std::size_t i = 0; i < code_ops.size(); ++i) {
    b.w8(o + 4 + 2 * i, 0);
    b.w8(o + 5 + 2 * i, code_ops[i]);
  }
  const std::size_t h = 4 + 2 * ((code_ops.size() + 1) & ~std::size_t{1});
  b.w32(o + h, chained);
}

// A Rich header at 0x80 with the given (comp-id, count) pairs.
void rich(PEBuilder& b, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& pairs, std::uint32_t key,
          std::uint32_t dans = 0x536E6144) {
  std::size_t o = 0x80;
  b.w32(o, dans ^ key);
  b.w32(o + 4, key);
  b.w32(o + 8, key);
  b.w32(o + 12, key);
  o += 16;
  for (const auto& [id, count] : pairs) {
    b.w32(o, id ^ key);
    b.w32(o + 4, count ^ key);
    o += 8;
  }
  b.w32(o, 0x68636952);
  b.w32(o + 4, key);
}

std::vector<std::string> warnings_of(const std::string& file) {
  ember::PE pe(as_bytes(file));
  return pe.warnings();
}

// ---------------------------------------------------------------- baseline

TEST(PEGenerated, UndamagedImagesHaveNoWarnings) {
  for (const bool plus : {false, true}) {
    PEBuilder b(plus);
    simple_imports(b, "KERNEL32.dll", {"GetTickCount", "Sleep", "ExitProcess"});
    ember::PE pe(as_bytes(b.file));
    EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
    EXPECT_EQ(pe.pe_type(), plus ? ember::PE::kPE32Plus : ember::PE::kPE32);
    ASSERT_EQ(pe.imports().size(), 1u);
    EXPECT_EQ(pe.imports()[0].dll, "KERNEL32.dll");
    ASSERT_EQ(pe.imports()[0].symbols.size(), 3u);
    EXPECT_EQ(pe.imports()[0].symbols[1].name.value_or(""), "Sleep");
    EXPECT_EQ(pe.sections().size(), 3u);
    EXPECT_FALSE(pe.overlay_offset().has_value());
  }
}

// ---------------------------------------------------------------- one warning per damage

struct WarningCase {
  const char* name;
  bool plus;
  std::function<void(PEBuilder&)> damage;
  std::string expected;
};

std::vector<WarningCase> warning_cases() {
  std::vector<WarningCase> c;
  // Headers and sections.
  c.push_back({"byte frequency", false, [](PEBuilder& b) { b.file.append(0x3400, '\xcc'); },
               "Byte 0xcc makes up 50.0000% of the file's contents. This may indicate truncation / malformation."});
  c.push_back({"invalid magic", false, [](PEBuilder& b) { b.w16(PEBuilder::kOpt, 0x107); },
               "Invalid type 0x0107 in Optional Header."});
  c.push_back({"entry point before headers end", false, [](PEBuilder& b) { b.w32(PEBuilder::kOpt + 16, 0x1000); b.w32(PEBuilder::kOpt + 60, 0x1200); },
               "SizeOfHeaders is smaller than AddressOfEntryPoint: this file cannot run under Windows 8."});
  c.push_back({"NumberOfRvaAndSizes", false, [](PEBuilder& b) { b.w32(PEBuilder::kOpt + 92, 0x20); },
               "Suspicious NumberOfRvaAndSizes in the Optional Header. Normal values are never larger than 0x10, the value is: 0x20"});
  c.push_back({"FileAlignment not a power of two", false, [](PEBuilder& b) { b.w32(PEBuilder::kOpt + 36, 0x300); },
               "If FileAlignment > 0x200 it should be a power of 2. Value: 300"});
  c.push_back({"SectionAlignment below a page", false,
               [](PEBuilder& b) { b.w32(PEBuilder::kOpt + 32, 0x200); b.w32(PEBuilder::kOpt + 36, 0x1000); },
               "If SectionAlignment(0x200) < 0x1000 it should equal FileAlignment(0x1000)"});
  c.push_back({"null section entry", false, [](PEBuilder& b) { b.w16(PEBuilder::kLfanew + 6, 4); },
               "Invalid section 3. Contents are null-bytes."});
  c.push_back({"section table past the end", false,
               [](PEBuilder& b) { b.w16(PEBuilder::kLfanew + 20, 0x8000 - 24 - PEBuilder::kLfanew); b.file.resize(0x8000); },
               "Invalid section 0. No data in the file (is this corkami's virtsectblXP?)."});
  c.push_back({"raw data past the end", false, [](PEBuilder& b) { b.w32(b.section(2) + 16, 0x2000); },
               "Error parsing section 2. SizeOfRawData is larger than file."});
  c.push_back({"raw pointer past the end", false, [](PEBuilder& b) { b.w32(b.section(2) + 20, 0x10000); b.w32(b.section(2) + 16, 0); },
               "Error parsing section 2. PointerToRawData points beyond the end of the file."});
  c.push_back({"huge virtual size", false, [](PEBuilder& b) { b.w32(b.section(2) + 8, 0x10000001); },
               "Suspicious value found parsing section 2. VirtualSize is extremely large > 256MiB."});
  c.push_back({"virtual address too high", false, [](PEBuilder& b) { b.w32(b.section(2) + 12, 0x10001000); },
               "Suspicious value found parsing section 2. VirtualAddress is beyond 0x10000000."});
  c.push_back({"unaligned raw pointer", false, [](PEBuilder& b) { b.w32(b.section(1) + 20, 0x1401); },
               "Error parsing section 1. PointerToRawData should normally be a multiple of FileAlignment, this might "
               "imply the file is trying to confuse tools which parse this incorrectly."});
  c.push_back({"three problems in one section", false,
               [](PEBuilder& b) { b.w32(b.section(1) + 8, 0x20000000); b.w32(b.section(1) + 20, 0x1401); b.w32(b.section(1) + 16, 0x8000); },
               "Too many warnings parsing section. Aborting."});
  c.push_back({"writable and executable", false, [](PEBuilder& b) { b.w32(b.section(0) + 36, 0xE0000020); },
               "Suspicious flags set for section 0. Both IMAGE_SCN_MEM_WRITE and IMAGE_SCN_MEM_EXECUTE are set. This "
               "might indicate a packed executable."});
  c.push_back({"entry point beyond the file", false,
               [](PEBuilder& b) { b.w32(b.section(2) + 8, 0x100000); b.w32(PEBuilder::kOpt + 16, 0x13000); },
               "Possibly corrupt file. AddressOfEntryPoint lies outside the file. AddressOfEntryPoint: 0x13000"});
  c.push_back({"entry point outside the sections", false, [](PEBuilder& b) { b.w32(PEBuilder::kOpt + 16, 0x90000); },
               "AddressOfEntryPoint lies outside the sections' boundaries. AddressOfEntryPoint: 0x90000"});

  // Imports.
  c.push_back({"import directory unreadable", false, [](PEBuilder& b) { b.dir(1, kFar, 40); },
               "Error parsing the import directory at RVA: 0x900000"});
  c.push_back({"import descriptor cut short", false, [](PEBuilder& b) { b.dir(1, 0x1FF6, 40); },
               corrupt("IMAGE_IMPORT_DESCRIPTOR", off(0x1FF6))});
  c.push_back({"import tables missing", false, [](PEBuilder& b) { b.wstr(PEBuilder::at(0x1400), "a.dll"); import_descriptor(b, 0x1100, 0, 0x1400, 0); b.dir(1, 0x1100, 40); },
               "Damaged Import Table information. ILT and/or IAT appear to be broken. OriginalFirstThunk: 0x0 FirstThunk: 0x0"});
  c.push_back({"thunk table unreadable", false, [](PEBuilder& b) { b.wstr(PEBuilder::at(0x1400), "a.dll"); import_descriptor(b, 0x1100, kFar, 0x1400, kFar); b.dir(1, 0x1100, 40); },
               "Error parsing the import table. Invalid data at RVA: 0x900000"});
  c.push_back({"thunk points into its table", false, [](PEBuilder& b) { simple_imports(b, "a.dll", {"f"}); thunks(b, 0x1200, {0x1200}); },
               "Error parsing the import table. AddressOfData overlaps with THUNK_DATA for THUNK at RVA 0x1200"});
  c.push_back({"hint/name entry unreadable", false, [](PEBuilder& b) { simple_imports(b, "a.dll", {"f"}); thunks(b, 0x1200, {kFar}); thunks(b, 0x1300, {kFar}); },
               "Error parsing the import directory. Invalid Import data at RVA: 0x1114 (Invalid entries, aborting parsing.)"});
  c.push_back({"too many bad descriptors", false,
               [](PEBuilder& b) {
                 b.wstr(PEBuilder::at(0x1400), "a.dll");
                 for (std::uint32_t i = 0; i < 8; ++i) import_descriptor(b, 0x1100 + 20 * i, 0, 0x1400, 0);
                 b.dir(1, 0x1100, 200);
               },
               "Too many errors parsing the import directory. Invalid import data at RVA: 0x118c"});
  c.push_back({"packer imports", false, [](PEBuilder& b) { simple_imports(b, "KERNEL32.dll", {"LoadLibraryA", "GetProcAddress"}); },
               "Imported symbols contain entries typical of packed executables."});
  c.push_back({"excessive imports", false,
               [](PEBuilder& b) {
                 b.grow_last(0x10000);
                 std::vector<std::uint64_t> t(8200, 0x80000001u);
                 thunks(b, 0x3000, t);
                 b.wstr(PEBuilder::at(0x1400), "a.dll");
                 import_descriptor(b, 0xB100, 0x3000, 0x1400, 0);  // after its table: no tighter bound
                 b.dir(1, 0xB100, 40);
               },
               "Excessive number of imports 8193 (>8192)"});

  c.push_back({"thunk table past its bound", false,
               [](PEBuilder& b) {
                 thunks(b, 0x1200, std::vector<std::uint64_t>(1200, 0x80000001u));
                 b.wstr(PEBuilder::at(0x1180), "a.dll");
                 import_descriptor(b, 0x1100, 0x1200, 0x1180, 0);  // FirstThunk 0 bounds the table to 0x1114 bytes
                 b.dir(1, 0x1100, 40);
               },
               "Error parsing the import table. Entries go beyond bounds."});

  // Delay imports.
  c.push_back({"delay directory unreadable", false, [](PEBuilder& b) { b.dir(13, kFar, 32); },
               "Error parsing the Delay import directory at RVA: 0x900000"});
  c.push_back({"delay hint/name unreadable", false,
               [](PEBuilder& b) {
                 const std::size_t o = PEBuilder::at(0x1100);
                 b.zero(o, 64);
                 b.w32(o, 1);
                 b.w32(o + 4, 0x1400);
                 b.w32(o + 12, 0x1300);
                 b.w32(o + 16, 0x1200);
                 b.wstr(PEBuilder::at(0x1400), "d.dll");
                 thunks(b, 0x1200, {kFar});
                 thunks(b, 0x1300, {kFar});
                 b.dir(13, 0x1100, 64);
               },
               "Error parsing the Delay import directory. Invalid import data at RVA: 0x1120 (Invalid entries, aborting parsing.)"});
  c.push_back({"too many bad delay descriptors", false,
               [](PEBuilder& b) {
                 for (std::uint32_t i = 0; i < 8; ++i) {
                   const std::size_t o = PEBuilder::at(0x1100 + 32 * i);
                   b.zero(o, 32);
                   b.w32(o, 1);
                 }
                 b.zero(PEBuilder::at(0x1200), 32);
                 b.dir(13, 0x1100, 256);
               },
               "Too many errors parsing the Delay import directory. Invalid import data at RVA: 0x11e0"});
  c.push_back({"too many symbols before delay imports", false,
               [](PEBuilder& b) {
                 b.grow_last(0x10000);
                 thunks(b, 0x3000, std::vector<std::uint64_t>(8189, 0x80000001u));
                 b.wstr(PEBuilder::at(0x1400), "a.dll");
                 import_descriptor(b, 0xB100, 0x3000, 0x1400, 0);
                 b.dir(1, 0xB100, 40);
                 const std::size_t o = PEBuilder::at(0x1800);
                 b.zero(o, 64);
                 b.w32(o, 1);
                 b.w32(o + 4, 0x1400);
                 b.w32(o + 12, 0x1A00);
                 b.w32(o + 16, 0x1900);
                 thunks(b, 0x1900, {0x80000001u, 0x80000002u});
                 thunks(b, 0x1A00, {0x80000001u, 0x80000002u});
                 b.dir(13, 0x1800, 64);
               },
               "Error, too many imported symbols 8193 (>8192)"});

  // Bound imports (file offsets).
  c.push_back({"bound imports cut short", false, [](PEBuilder& b) { b.dir(11, 0x33FC, 8); },
               "The Bound Imports directory exists but can't be parsed."});
  c.push_back({"bound imports after every section", false, [](PEBuilder& b) { b.file.append(64, '\x41'); b.dir(11, 0x3400, 8); },
               "RVA of IMAGE_BOUND_IMPORT_DESCRIPTOR points to an invalid address: 3408"});

  c.push_back({"bound forwarder reference cut short", false,
               [](PEBuilder& b) {
                 b.w32(0x33F4, 0x12345678);
                 b.w16(0x33F8, 0x10);
                 b.w16(0x33FA, 1);
                 b.dir(11, 0x33F4, 16);
               },
               "Failed to process directory \"IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT\": IMAGE_BOUND_FORWARDER_REF cannot be read"});

  // Exports.
  c.push_back({"export directory unreadable", false, [](PEBuilder& b) { b.dir(0, kFar, 40); },
               "Error parsing export directory at RVA: 0x900000"});
  c.push_back({"export directory cut short", false, [](PEBuilder& b) { b.dir(0, 0x1FF0, 40); },
               corrupt("IMAGE_EXPORT_DIRECTORY", off(0x1FF0))});
  c.push_back({"repeated export entries", false,
               [](PEBuilder& b) { exports(b, std::vector<Export>(11, {"dup", 0x1000})); },
               "Export directory contains more than 10 repeated entries (dup, 0x1000). Assuming corrupt."});
  c.push_back({"export name with a space", false, [](PEBuilder& b) { exports(b, {{"good", 0x1000}, {"bad name", 0x1010}}); },
               "RVA AddressOfNames in the export directory points to an invalid address: 0x2300"});
  c.push_back({"repeated ordinal exports", false, [](PEBuilder& b) { exports(b, std::vector<Export>(130, {"", 0x1000})); },
               "Export directory contains more than 120 repeated ordinal entries (0x1000). Assuming corrupt."});
  c.push_back({"function table cut short", false,
               [](PEBuilder& b) {
                 exports(b, {{"", 0x1000}});
                 b.w32(PEBuilder::at(0x2000) + 20, 20);
                 b.w32(PEBuilder::at(0x2000) + 28, 0x3F8);  // in the header bytes, 8 bytes before their end
               },
               "RVA AddressOfFunctions in the export directory points to an invalid address: 0x3f8"});

  // Resources.
  c.push_back({"resource directory unreadable", false, [](PEBuilder& b) { b.dir(2, kFar, 16); },
               "Invalid resources directory. Can't read directory data at RVA: 0x900000"});
  c.push_back({"resource directory cut short", false, [](PEBuilder& b) { b.dir(2, 0x3FF8, 16); },
               "Invalid resources directory. Can't parse directory data at RVA: 0x3ff8"});
  c.push_back({"resource directory cut short (header)", false, [](PEBuilder& b) { b.dir(2, 0x3FF8, 16); },
               corrupt("IMAGE_RESOURCE_DIRECTORY", off(0x3FF8), true)});
  c.push_back({"too many entries in a directory", false,
               [](PEBuilder& b) { res_dir(b, PEBuilder::at(0x3000), 2000, 3000); b.dir(2, 0x3000, 16); },
               "Error parsing the resources directory. The directory contains 5000 entries (>4096)"});
  c.push_back({"too many entries in the file", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 0, 9);
                 for (int i = 0; i < 9; ++i) res_entry(b, r + 16 + 8 * i, static_cast<std::uint32_t>(i + 1), 0x80000FF0);
                 res_dir(b, PEBuilder::at(0x3FF0), 0, 4096);
                 b.dir(2, 0x3000, 0x1000);
               },
               "Error parsing the resources directory. The file contains at least 32777 entries (>32768)"});
  c.push_back({"resource entry cut short", false,
               [](PEBuilder& b) { res_dir(b, PEBuilder::at(0x3FF0), 0, 1); b.dir(2, 0x3FF0, 16); },
               "Error parsing the resources directory, Entry 0 is invalid, RVA = 0x4000. "});
  c.push_back({"nested too deep", false,
               [](PEBuilder& b) {
                 for (std::uint32_t i = 0; i < 34; ++i) {
                   const std::size_t o = PEBuilder::at(0x3000 + 0x20 * i);
                   res_dir(b, o, 0, 1);
                   res_entry(b, o + 16, 1, 0x80000000u | (0x20 * (i + 1)));
                 }
                 b.dir(2, 0x3000, 0x800);
               },
               "Error parsing the resources directory. Excessively nested table depth 33 (>32)"});
  c.push_back({"overlapping entry names", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 2, 0);
                 res_entry(b, r + 16, 0x80000100, 0x80);
                 res_entry(b, r + 24, 0x80000104, 0x80);
                 res_data(b, r + 0x80, 0x3200, 4);
                 b.w16(r + 0x100, 10);
                 b.dir(2, 0x3000, 0x200);
               },
               "Error parsing the resources directory, attempting to read entry name. Entry names overlap 0x3104"});
  c.push_back({"string table data unreadable", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 0, 1);
                 res_entry(b, r + 16, 6, 0x80000018);
                 res_dir(b, r + 0x18, 0, 1);
                 res_entry(b, r + 0x28, 1, 0x80000030);
                 res_dir(b, r + 0x30, 0, 1);
                 res_entry(b, r + 0x40, 0x409, 0x60);
                 res_data(b, r + 0x60, kFar, 16);
                 b.dir(2, 0x3000, 0x100);
               },
               "Error parsing resource of type RT_STRING at RVA 0x900000 with size 16"});
  c.push_back({"data entry unreadable", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 0, 1);
                 res_entry(b, r + 16, 3, 0x00900000);
                 b.dir(2, 0x3000, 0x100);
               },
               "Error parsing a resource directory data entry, the RVA is invalid: 0x903000"});
  c.push_back({"data entry cut short", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 0, 1);
                 res_entry(b, r + 16, 3, 0xFF8);
                 b.dir(2, 0x3000, 0x100);
               },
               corrupt("IMAGE_RESOURCE_DATA_ENTRY", off(0x3FF8), true)});
  c.push_back({"resource sizes beyond the file", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 0, 2);
                 res_entry(b, r + 16, 3, 0x40);
                 res_entry(b, r + 24, 4, 0x40);
                 res_data(b, r + 0x40, 0x3100, 0x10000000);
                 b.dir(2, 0x3000, 0x100);
               },
               "Resource size 0x10000000 exceeds file size 0x3400, overlapping resources found."});
  c.push_back({"entry name unreadable", false,
               [](PEBuilder& b) {
                 const std::size_t r = PEBuilder::at(0x3000);
                 res_dir(b, r, 1, 0);
                 res_entry(b, r + 16, 0x80000FFE, 0x40);
                 res_data(b, r + 0x40, 0x3100, 4);
                 b.w16(PEBuilder::at(0x3FFE), 4);
                 b.dir(2, 0x3000, 0x100);
               },
               "Failed rendering pascal string, attempting to read from RVA 0x4000"});

  // Version information.
  c.push_back({"version data unreadable", false, [](PEBuilder& b) { version_resource(b, kFar, 0x100); },
               "Error parsing the version information, attempting to read OffsetToData with RVA: 0x900000"});
  c.push_back({"version block cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 4); },
               corrupt("VS_VERSIONINFO", off(0x3200), true)});
  c.push_back({"version key unreadable", false, [](PEBuilder& b) { version_resource(b, 0x3FFA, 6); },
               "Invalid VS_VERSION_INFO block: None"});
  c.push_back({"version key unreadable (reason)", false, [](PEBuilder& b) { version_resource(b, 0x3FFA, 6); },
               "Error parsing the version information, attempting to read VS_VERSION_INFO string. Can't read unicode "
               "string at offset 0x4000"});
  c.push_back({"wrong version key", false,
               [](PEBuilder& b) {
                 version_block(b, PEBuilder::at(0x3200), std::u16string(80, u'K') + u"\u00e9");
                 version_resource(b, 0x3200, 0x200);
               },
               "Invalid VS_VERSION_INFO block: " + std::string(64, 'K')});
  c.push_back({"fixed file info cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 60); },
               corrupt("VS_FIXEDFILEINFO", off(0x3228), true)});
  c.push_back({"string file info cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 0x5C + 2); },
               "Error parsing StringFileInfo/VarFileInfo struct"});
  c.push_back({"string table cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 0x5C + 0x28); },
               corrupt("StringTable", off(0x3200 + 0x5C + 0x24), true)});
  c.push_back({"string cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 0x5C + 0x24 + 0x18 + 2); },
               corrupt("String", off(0x3200 + 0x5C + 0x24 + 0x18), true)});

  c.push_back({"var cut short", false,
               [](PEBuilder& b) { version_block(b, PEBuilder::at(0x3200)); version_resource(b, 0x3200, 0xD4 + 2); },
               corrupt("Var", off(0x3200 + 0xD4), true)});

  // Relocations.
  c.push_back({"relocations unreadable", false, [](PEBuilder& b) { b.dir(5, kFar, 16); },
               "Invalid relocation information. Can't read data at RVA: 0x900000"});
  c.push_back({"relocation block cut short", false, [](PEBuilder& b) { b.dir(5, 0x3FFC, 16); },
               corrupt("IMAGE_BASE_RELOCATION", off(0x3FFC))});
  c.push_back({"relocation page outside the image", false, [](PEBuilder& b) { relocations(b, 0x5000, 12, {0x3000, 0}); },
               "Invalid relocation information. VirtualAddress outside of Image: 0x5000"});
  c.push_back({"relocation block too large", false, [](PEBuilder& b) { relocations(b, 0x1000, 0x100000, {}); },
               "Invalid relocation information. SizeOfBlock too large: 1048576"});
  c.push_back({"overlapping relocations", false, [](PEBuilder& b) { relocations(b, 0x1000, 16, {0x3010, 0x3020, 0x3010, 0}); },
               "Overlapping offsets in relocation data at RVA: 0x1010"});
  c.push_back({"relocation entries unreadable", false,
               [](PEBuilder& b) { b.w32(PEBuilder::at(0x3FF8), 0x1000); b.w32(PEBuilder::at(0x3FFC), 16); b.dir(5, 0x3FF8, 16); },
               "Bad RVA in relocation data: 0x4000"});

  // Debug, TLS.
  c.push_back({"debug directory unreadable", false, [](PEBuilder& b) { b.dir(6, kFar, 28); },
               "Invalid debug information. Can't read data at RVA: 0x900000"});
  c.push_back({"debug entry cut short", false, [](PEBuilder& b) { b.dir(6, 0x3FF0, 28); },
               corrupt("IMAGE_DEBUG_DIRECTORY", off(0x3FF0))});
  c.push_back({"CodeView record cut short", false, [](PEBuilder& b) { debug_entry(b, 2, "RSDS0123456789", 14); },
               corrupt("CV_INFO_PDB70", "8192")});
  c.push_back({"old CodeView record cut short", false, [](PEBuilder& b) { debug_entry(b, 2, "NB10abcd", 8); },
               corrupt("CV_INFO_PDB20", "8192")});
  c.push_back({"misc record cut short", false, [](PEBuilder& b) { debug_entry(b, 4, "12345678", 8); },
               corrupt("IMAGE_DEBUG_MISC", "8192")});
  c.push_back({"TLS directory unreadable", false, [](PEBuilder& b) { b.dir(9, kFar, 24); },
               "Invalid TLS information. Can't read data at RVA: 0x900000"});
  c.push_back({"TLS directory cut short", true, [](PEBuilder& b) { b.dir(9, 0x3FF0, 40); },
               corrupt("IMAGE_TLS_DIRECTORY", off(0x3FF0))});

  // Load configuration and dynamic relocations.
  c.push_back({"load config of an unknown image type", false,
               [](PEBuilder& b) { b.w16(PEBuilder::kOpt, 0x107); load_config(b, 64); },
               "Don't know how to parse LOAD_CONFIG information for non-PE32/PE32+ file"});
  c.push_back({"load config unreadable", false, [](PEBuilder& b) { b.dir(10, kFar, 64); },
               "Invalid LOAD_CONFIG information. Can't read data at RVA: 0x900000"});
  c.push_back({"load config cut short", false, [](PEBuilder& b) { b.w32(PEBuilder::at(0x3FE0), 64); b.dir(10, 0x3FE0, 64); },
               corrupt("IMAGE_LOAD_CONFIG_DIRECTORY", off(0x3FE0))});
  c.push_back({"dynamic relocation table version 2", false,
               [](PEBuilder& b) {
                 load_config(b, 192);
                 b.w32(PEBuilder::at(0x2000) + 136, 0x300);
                 b.w16(PEBuilder::at(0x2000) + 140, 2);
                 b.w32(PEBuilder::at(0x2300), 2);
                 b.w32(PEBuilder::at(0x2304), 0);
               },
               "No parsing available for IMAGE_DYNAMIC_RELOCATION_TABLE.Version = 2"});
  c.push_back({"dynamic relocation table unreadable", false,
               [](PEBuilder& b) {
                 load_config(b, 192);
                 b.w32(PEBuilder::at(0x2000) + 136, kFar);
                 b.w16(PEBuilder::at(0x2000) + 140, 2);
               },
               "Invalid IMAGE_DYNAMIC_RELOCATION_TABLE information. Can't read data at RVA: 0x902000"});
  c.push_back({"function override header cut short", false,
               [](PEBuilder& b) {
                 b.w32(b.section(2) + 8, 0x2000);  // RVA 0x4000 stays in the section, without raw data
                 load_config(b, 192);
                 b.w32(PEBuilder::at(0x2000) + 136, 0xFF0);
                 b.w16(PEBuilder::at(0x2000) + 140, 3);
                 b.w32(PEBuilder::at(0x3FF0), 1);
                 b.w32(PEBuilder::at(0x3FF4), 12);
                 b.w32(PEBuilder::at(0x3FF8), 7);
                 b.w32(PEBuilder::at(0x3FFC), 0);
               },
               "Invalid function override header. Can't read data at RVA: 0x4000"});

  c.push_back({"bdd info cut short", false,
               [](PEBuilder& b) {
                 b.w32(b.section(2) + 8, 0x2000);  // RVA 0x4000 stays in the section, without raw data
                 load_config(b, 192);
                 b.w32(PEBuilder::at(0x2000) + 136, 0xFE8);
                 b.w16(PEBuilder::at(0x2000) + 140, 3);
                 b.w32(PEBuilder::at(0x3FE8), 1);
                 b.w32(PEBuilder::at(0x3FEC), 8);
                 b.w32(PEBuilder::at(0x3FF0), 7);
                 b.w32(PEBuilder::at(0x3FF4), 0);
                 b.w32(PEBuilder::at(0x3FF8), 0);  // function override header: no entries
                 b.w32(PEBuilder::at(0x3FFC), 0);
               },
               "Invalid bdd info. Can't read data at RVA: 0x3ffc"});

  // Exception directory (x64).
  c.push_back({"unwind version 3", true,
               [](PEBuilder& b) { unwind_info(b, 0x2400, 3, 0, {}); runtime_functions(b, {{0x1000, 0x2400}}); },
               "Unsupported version of UNWIND_INFO at 0x" + [] { char s[16]; std::snprintf(s, sizeof s, "%zx", PEBuilder::at(0x2400)); return std::string(s); }()});
  c.push_back({"unknown unwind code", true,
               [](PEBuilder& b) { unwind_info(b, 0x2400, 1, 0, {0x07, 0x00}); runtime_functions(b, {{0x1000, 0x2400}}); },
               "Unknown UNWIND_CODE at 0x" + [] { char s[16]; std::snprintf(s, sizeof s, "%zx", PEBuilder::at(0x2400) + 4); return std::string(s); }()});
  c.push_back({"chained entry used twice", true,
               [](PEBuilder& b) {
                 unwind_info(b, 0x2400, 1, 0, {});
                 unwind_info(b, 0x2440, 1, 4, {}, 0x1000);
                 runtime_functions(b, {{0x1000, 0x2400}, {0x1100, 0x2440}, {0x1200, 0x2440}});
               },
               "Failed parsing FunctionEntry of UNWIND_INFO at " + [] { char s[16]; std::snprintf(s, sizeof s, "%zx", PEBuilder::at(0x2000) + 24); return std::string(s); }() +
                   ": Chained function entry cannot be changed"});
  c.push_back({"chained entry missing", true,
               [](PEBuilder& b) { unwind_info(b, 0x2440, 1, 4, {}, 0x1F00); runtime_functions(b, {{0x1100, 0x2440}}); },
               "FunctionEntry of UNWIND_INFO at " + [] { char s[16]; std::snprintf(s, sizeof s, "%zx", PEBuilder::at(0x2000)); return std::string(s); }() +
                   " points to an entry that does not exist"});
  c.push_back({"unwind data unreadable", true, [](PEBuilder& b) { runtime_functions(b, {{0x1000, kFar}}); },
               "Failed to process directory \"IMAGE_DIRECTORY_ENTRY_EXCEPTION\": data at RVA 0x900000 can't be fetched"});

  // Rich header.
  c.push_back({"Rich header not from the usual linker", false,
               [](PEBuilder& b) { rich(b, {{0x00010000, 3}}, 0x11223344, 0x12345678); },
               "Rich Header is not in Microsoft format, possibly malformed"});
  return c;
}

void PrintTo(const WarningCase& c, std::ostream* os) { *os << c.name; }

class PEWarning : public ::testing::TestWithParam<WarningCase> {};

TEST_P(PEWarning, IsProduced) {
  const WarningCase& w = GetParam();
  PEBuilder b(w.plus);
  w.damage(b);
  std::vector<std::string> warnings;
  ASSERT_NO_THROW(warnings = warnings_of(b.file));
  EXPECT_THAT(warnings, Contains(w.expected)) << ::testing::PrintToString(warnings);
}

INSTANTIATE_TEST_SUITE_P(Damaged, PEWarning, ::testing::ValuesIn(warning_cases()),
                         [](const ::testing::TestParamInfo<WarningCase>& i) {
                           std::string n;
                           for (const char ch : std::string(i.param.name)) n.push_back(std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
                           return n;
                         });

}  // namespace
