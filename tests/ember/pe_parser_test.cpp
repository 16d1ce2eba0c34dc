// ember::PE construction failures and the parsed values at the edges the
// parser's limits define, over generated images.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ember/pe.h"
#include "tests/ember/pe_builder.h"

namespace {

using test::PEBuilder;
using ::testing::Contains;
using ::testing::Not;

std::size_t count_of(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<std::size_t>(std::count(v.begin(), v.end(), s));
}

// ---------------------------------------------------------------- construction failures

struct ThrowCase {
  const char* name;
  std::function<std::string()> make;
  bool not_pe;  // NotPE rather than PEFormatError
  std::string message;
};

std::string image(const std::function<void(PEBuilder&)>& damage, bool plus = false) {
  PEBuilder b(plus);
  damage(b);
  return b.file;
}

std::vector<ThrowCase> throw_cases() {
  return {
      {"63 bytes", [] { return std::string(63, 'M'); }, false,
       "Unable to read the DOS Header, possibly a truncated file."},
      {"ZM", [] { return image([](PEBuilder& b) { b.w16(0, 0x4D5A); }); }, false,
       "Probably a ZM Executable (not a PE file)."},
      {"no MZ", [] { return image([](PEBuilder& b) { b.w16(0, 0x1234); }); }, false, "DOS Header magic not found."},
      {"e_lfanew past the end", [] { return image([](PEBuilder& b) { b.w32(60, 0x10000); }); }, false,
       "Invalid e_lfanew value, probably not a PE file"},
      {"e_lfanew at the end", [] { return image([](PEBuilder& b) { b.w32(60, static_cast<std::uint32_t>(b.file.size())); }); },
       false, "NT Headers not found."},
      {"100-byte MZ stub",
       [] {
         std::string s(100, '\0');
         s[0] = 'M';
         s[1] = 'Z';
         s[60] = 64;
         return s;
       },
       false, "NT Headers not found."},
      {"NE signature", [] { return image([](PEBuilder& b) { b.w32(PEBuilder::kLfanew, 0x454E); }); }, false,
       "Invalid NT Headers signature."},
      {"other signature", [] { return image([](PEBuilder& b) { b.w32(PEBuilder::kLfanew, 0x12344550); }); }, false,
       "Invalid NT Headers signature."},
      {"file header cut", [] { return image([](PEBuilder& b) { b.file.resize(PEBuilder::kLfanew + 10); }); }, false,
       "File Header missing"},
      {"optional header cut", [] { return image([](PEBuilder& b) { b.file.resize(PEBuilder::kOpt + 40); }); }, false,
       "No Optional Header found, invalid PE32 or PE32+ file."},
      {"section entry cut", [] { return image([](PEBuilder& b) { b.file.resize(b.section(0) + 20); }); }, false,
       "Data length less than expected header length."},
      {"writable executable PAGE after another section",
       [] {
         return image([](PEBuilder& b) {
           b.w32(b.section(1), 0x45474150);  // "PAGE"
           b.w32(b.section(1) + 4, 0);
           b.w32(b.section(1) + 36, 0xE0000020);
           b.dir(1, 0x1100, 40);
           b.zero(PEBuilder::at(0x1100), 20);
         });
       },
       true, "is_driver during section parsing"},
      {"ExDllCharacteristics too short",
       [] {
         return image([](PEBuilder& b) {
           b.zero(PEBuilder::at(0x2000), 28);
           b.w32(PEBuilder::at(0x2000) + 12, 20);
           b.w32(PEBuilder::at(0x2000) + 24, 0x2000);
           b.dir(6, 0x2000, 28);
         });
       },
       true, "ExDllCharacteristics of None"},
      {"load config of 136 bytes",
       [] { return image([](PEBuilder& b) { b.w32(PEBuilder::at(0x2000), 136); b.dir(10, 0x2000, 136); }); }, true,
       "load config without DynamicValueRelocTableOffset"},
      {"PE32+ load config of 224 bytes",
       [] { return image([](PEBuilder& b) { b.w32(PEBuilder::at(0x2000), 224); b.dir(10, 0x2000, 224); }, true); }, true,
       "load config without DynamicValueRelocTableOffset"},
      {"dynamic relocation table cut short",
       [] {
         return image([](PEBuilder& b) {
           b.zero(PEBuilder::at(0x2000), 192);
           b.w32(PEBuilder::at(0x2000), 192);
           b.w32(PEBuilder::at(0x2000) + 136, 0xFFC);
           b.w16(PEBuilder::at(0x2000) + 140, 3);
           b.dir(10, 0x2000, 192);
         });
       },
       true, "dynamic relocation table is None"},
      {"Rich signature without its header",
       [] { return image([](PEBuilder& b) { b.w32(0x80, 0x68636952); b.w32(0x84, 0x1234); }); }, true,
       "rich header IndexError"},
  };
}

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class PEThrows : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(PEThrows, WithTheMessage) {
  const ThrowCase& c = GetParam();
  const std::string file = c.make();
  try {
    ember::PE pe(as_bytes(file));
    FAIL() << "parsed";
  } catch (const ember::NotPE& e) {
    EXPECT_TRUE(c.not_pe);
    EXPECT_EQ(std::string(e.what()), c.message);
  } catch (const ember::PEFormatError& e) {
    EXPECT_FALSE(c.not_pe);
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Unusable, PEThrows, ::testing::ValuesIn(throw_cases()),
                         [](const ::testing::TestParamInfo<ThrowCase>& i) {
                           std::string n;
                           for (const char ch : std::string(i.param.name))
                             n.push_back(std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
                           return n;
                         });

// ---------------------------------------------------------------- headers and sections

TEST(PEHeaders, FieldsAndDirectoryTable) {
  PEBuilder b(true);
  b.w32(PEBuilder::kOpt + 108, 0x20);  // NumberOfRvaAndSizes
  b.dir(15, 0x1234, 0x56);
  ember::PE pe(as_bytes(b.file));
  EXPECT_EQ(pe.dos_header().e_magic, 0x5A4D);
  EXPECT_EQ(pe.dos_header().e_lfanew, PEBuilder::kLfanew);
  EXPECT_EQ(pe.file_header().Machine, 0x8664);
  EXPECT_EQ(pe.optional_header().ImageBase, 0x140000000ull);
  EXPECT_EQ(pe.optional_header().structure_size, 112u);
  EXPECT_EQ(pe.optional_header().file_offset, PEBuilder::kOpt);
  ASSERT_EQ(pe.data_directories().size(), 16u);  // at most 16 are read
  EXPECT_EQ(pe.data_directories()[15].VirtualAddress, 0x1234u);
  EXPECT_EQ(pe.data_directories()[15].index, 15u);
  EXPECT_THAT(pe.warnings(),
              Contains("Suspicious NumberOfRvaAndSizes in the Optional Header. Normal values are never larger than "
                       "0x10, the value is: 0x20"));
}

TEST(PEHeaders, ShortOptionalHeaderIsPadded) {
  PEBuilder b;
  b.file.resize(PEBuilder::kOpt + 80);
  ember::PE pe(as_bytes(b.file));
  EXPECT_THAT(pe.warnings(), Contains("Corrupt header \"IMAGE_OPTIONAL_HEADER\" at file offset 280. Exception: Data "
                                      "length less than expected header length."));
  EXPECT_EQ(pe.optional_header().SizeOfImage, 0x4000u);
  EXPECT_EQ(pe.optional_header().NumberOfRvaAndSizes, 0u);  // past the cut: zeros
  EXPECT_TRUE(pe.data_directories().empty());
}

TEST(PEHeaders, ShortOptionalHeader64IsPadded) {
  PEBuilder b(true);
  b.file.resize(PEBuilder::kOpt + 100);
  ember::PE pe(as_bytes(b.file));
  EXPECT_EQ(pe.pe_type(), ember::PE::kPE32Plus);
  EXPECT_THAT(pe.warnings(), Contains("Corrupt header \"IMAGE_OPTIONAL_HEADER64\" at file offset 280. Exception: "
                                      "Data length less than expected header length."));
  EXPECT_EQ(pe.optional_header().ImageBase, 0x140000000ull);
  EXPECT_EQ(pe.optional_header().NumberOfRvaAndSizes, 0u);
}

TEST(PEHeaders, AlignmentWarningsAreGivenOnce) {
  PEBuilder b;
  b.w32(PEBuilder::kOpt + 36, 0x300);
  ember::PE pe(as_bytes(b.file));
  EXPECT_EQ(count_of(pe.warnings(), "If FileAlignment > 0x200 it should be a power of 2. Value: 300"), 1u);

  PEBuilder small;
  small.w32(PEBuilder::kOpt + 36, 0x100);  // below 0x200: no warning, raw starts still rounded to 0x200
  small.w32(small.section(1) + 20, 0x1500);
  ember::PE pe2(as_bytes(small.file));
  for (const auto& w : pe2.warnings()) EXPECT_EQ(w.find("FileAlignment >"), std::string::npos) << w;
  EXPECT_EQ(pe2.sections()[1].raw_start(), 0x1400);

  PEBuilder sa;
  sa.w32(PEBuilder::kOpt + 32, 0x200);
  sa.w32(PEBuilder::kOpt + 36, 0x1000);
  ember::PE pe3(as_bytes(sa.file));
  EXPECT_EQ(count_of(pe3.warnings(), "If SectionAlignment(0x200) < 0x1000 it should equal FileAlignment(0x1000)"), 1u);
}

TEST(PEHeaders, TooManySections) {
  PEBuilder b;
  b.w16(PEBuilder::kLfanew + 6, 3000);
  b.zero(b.section(0), 40 * 2100);
  for (int i = 0; i < 2100; ++i) b.w32(b.section(i), 0x61742E);  // ".ta", everything else zero
  ember::PE pe(as_bytes(b.file));
  EXPECT_THAT(pe.warnings(), Contains("Too many sections 3000 (>=2048)"));
  EXPECT_EQ(pe.sections().size(), 2048u);
}

TEST(PESections, SortedStablyWithCachedRanges) {
  PEBuilder b;
  // Table order: .text 0x1000, .rdata 0x3000, .data 0x1000 (same address as .text).
  b.w32(b.section(1) + 12, 0x3000);
  b.w32(b.section(2) + 12, 0x1000);
  ember::PE pe(as_bytes(b.file));
  ASSERT_EQ(pe.sections().size(), 3u);
  EXPECT_EQ(pe.sections()[0].clean_name(), ".text");
  EXPECT_EQ(pe.sections()[1].clean_name(), ".data");
  EXPECT_EQ(pe.sections()[2].clean_name(), ".rdata");
  EXPECT_EQ(pe.sections()[0].next_section_virtual_address.value_or(0), 0x1000u);
  EXPECT_FALSE(pe.sections()[2].next_section_virtual_address.has_value());
  // The first section in sorted order that contains an RVA wins.
  EXPECT_EQ(pe.section_by_rva(0x1800), &pe.sections()[0]);
  EXPECT_EQ(pe.section_by_offset(0x2500), &pe.sections()[1]);
  EXPECT_EQ(pe.offset_from_rva(0x3010), 0x1410);
  EXPECT_EQ(pe.offset_from_rva(0x20), 0x20);  // outside every section: the RVA itself
  EXPECT_THROW(pe.offset_from_rva(0x900000), ember::PEFormatError);
}

TEST(PESections, CleanNames) {
  PEBuilder b;
  const std::uint8_t raw[8] = {0, 'U', 'P', 'X', 0xC3, 0xA9, 0xFF, 0};  // NUL, "UPX", "é", invalid byte, NUL
  std::memcpy(&b.file[b.section(0)], raw, 8);
  ember::PE pe(as_bytes(b.file));
  EXPECT_EQ(pe.sections()[0].clean_name(), "upx\xC3\xA9");
}

TEST(PESections, WritableExecutablePageFirstIsOnlyAWarning) {
  PEBuilder b;
  b.w32(b.section(0), 0x45474150);  // "PAGE"
  b.w32(b.section(0) + 4, 0);
  b.w32(b.section(0) + 36, 0xE0000020);
  b.dir(1, 0x1100, 40);
  b.zero(PEBuilder::at(0x1100), 20);
  ember::PE pe(as_bytes(b.file));
  EXPECT_THAT(pe.warnings(), Contains("Suspicious flags set for section 0. Both IMAGE_SCN_MEM_WRITE and "
                                      "IMAGE_SCN_MEM_EXECUTE are set. This might indicate a packed executable."));
}

TEST(PESections, OverlayStartsAfterTheLastDescribedByte) {
  PEBuilder b;
  b.file.append(100, 'O');
  ember::PE pe(as_bytes(b.file));
  ASSERT_TRUE(pe.overlay_offset().has_value());
  EXPECT_EQ(*pe.overlay_offset(), 0x3400u);
}

// ---------------------------------------------------------------- imports and exports

void import_ordinals(PEBuilder& b, const std::string& dll, const std::vector<std::uint64_t>& values) {
  std::size_t o = PEBuilder::at(0x1200);
  for (const auto v : values) {
    b.wt(o, v);
    o += b.thunk();
  }
  b.wt(o, 0);
  b.wstr(PEBuilder::at(0x1400), dll);
  const std::size_t d = PEBuilder::at(0x1100);
  b.zero(d, 40);
  b.w32(d, 0x1200);
  b.w32(d + 12, 0x1400);
  b.w32(d + 16, 0x1200);
  b.dir(1, 0x1100, 40);
}

TEST(PEImports, OrdinalNamesFromTheBuiltInTables) {
  struct Case {
    std::string dll;
    std::uint64_t ordinal;
    std::optional<std::string> name;
  };
  const std::vector<Case> cases = {{"WS2_32.dll", 23, "socket"},
                                   {"oleaut32.dll", 9999, "ord9999"},
                                   {"OLEAUT32.DLL", 2, "SysAllocString"},
                                   {"wsock32.dll", 1142, "GetAcceptExSockaddrs"},
                                   {"kernel32.dll", 5, std::nullopt}};
  for (const bool plus : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.dll + " " + std::to_string(c.ordinal));
      PEBuilder b(plus);
      import_ordinals(b, c.dll, {b.ordinal_flag() | c.ordinal});
      ember::PE pe(as_bytes(b.file));
      ASSERT_EQ(pe.imports().size(), 1u);
      ASSERT_EQ(pe.imports()[0].symbols.size(), 1u);
      const auto& s = pe.imports()[0].symbols[0];
      EXPECT_TRUE(s.by_ordinal);
      EXPECT_EQ(s.ordinal, c.ordinal);
      EXPECT_EQ(s.name, c.name);
      EXPECT_EQ(ember::ordinal_name(c.dll, c.ordinal), c.name);
    }
  }
}

TEST(PEImports, LibraryNameWithABarIsInvalid) {
  PEBuilder b;
  import_ordinals(b, "ker|nel32.dll", {0x80000005u});
  ember::PE pe(as_bytes(b.file));
  ASSERT_EQ(pe.imports().size(), 1u);
  EXPECT_EQ(pe.imports()[0].dll, "*invalid*");
}

TEST(PEImports, SixteenthRepeatedThunkEmptiesTheTable) {
  PEBuilder b;
  b.w16(PEBuilder::at(0x1500), 0);
  b.wstr(PEBuilder::at(0x1502), "f");
  import_ordinals(b, "a.dll", std::vector<std::uint64_t>(20, 0x1500));
  ember::PE pe(as_bytes(b.file));
  EXPECT_FALSE(pe.has_imports());
  EXPECT_THAT(pe.warnings(), Contains("Damaged Import Table information. ILT and/or IAT appear to be broken. "
                                      "OriginalFirstThunk: 0x1200 FirstThunk: 0x1200"));

  PEBuilder ok;  // 15 repeats are still accepted
  ok.w16(PEBuilder::at(0x1500), 0);
  ok.wstr(PEBuilder::at(0x1502), "f");
  import_ordinals(ok, "a.dll", std::vector<std::uint64_t>(15, 0x1500));
  ember::PE pe2(as_bytes(ok.file));
  ASSERT_EQ(pe2.imports().size(), 1u);
  EXPECT_EQ(pe2.imports()[0].symbols.size(), 15u);
}

TEST(PEImports, ThunkSpreadBeyond128MiBEmptiesTheTable) {
  PEBuilder b;
  b.w16(PEBuilder::at(0x1500), 0);
  b.wstr(PEBuilder::at(0x1502), "f");
  import_ordinals(b, "a.dll", {0x1500, 0x1500 + 0x8000001ull, 0x1500});
  ember::PE pe(as_bytes(b.file));
  EXPECT_FALSE(pe.has_imports());
}

TEST(PEImports, PackerWarningNeedsExactlyTwoSuspiciousNames) {
  auto warnings_for = [](const std::vector<std::string>& names) {
    PEBuilder b;
    std::vector<std::uint64_t> t;
    std::uint32_t r = 0x1500;
    for (const auto& n : names) {
      b.w16(PEBuilder::at(r), 0);
      b.wstr(PEBuilder::at(r) + 2, n);
      t.push_back(r);
      r += 0x20;
    }
    import_ordinals(b, "KERNEL32.dll", t);
    ember::PE pe(as_bytes(b.file));
    return pe.warnings();
  };
  const std::string packer = "Imported symbols contain entries typical of packed executables.";
  EXPECT_THAT(warnings_for({"LoadLibraryA", "GetProcAddress"}), Contains(packer));
  EXPECT_THAT(warnings_for({"LoadLibraryA", "LoadLibraryW", "GetProcAddress"}), Not(Contains(packer)));
}

TEST(PEImports, ImportChainLoopEndsTheWalk) {
  // The thunk table runs into itself: its second entry points back at the table.
  PEBuilder b;
  b.w16(PEBuilder::at(0x1500), 0);
  b.wstr(PEBuilder::at(0x1502), "f");
  import_ordinals(b, "a.dll", {0x1500, 0x1204});
  ember::PE pe(as_bytes(b.file));
  EXPECT_THAT(pe.warnings(), Contains("Error parsing the import table. AddressOfData overlaps with THUNK_DATA for "
                                      "THUNK at RVA 0x1204"));
  ASSERT_EQ(pe.imports().size(), 1u);
  EXPECT_EQ(pe.imports()[0].symbols.size(), 1u);
}

void export_table(PEBuilder& b, std::uint32_t functions, std::uint32_t names, const std::function<std::uint32_t(std::uint32_t)>& address,
                  const std::function<std::string(std::uint32_t)>& name) {
  b.grow_last(0x40000);
  const std::size_t d = PEBuilder::at(0x3000);
  b.zero(d, 40);
  b.w32(d + 16, 1);
  b.w32(d + 20, functions);
  b.w32(d + 24, names);
  b.w32(d + 28, 0x4000);
  b.w32(d + 32, 0x10000);
  b.w32(d + 36, 0x1A000);
  std::uint32_t s = 0x20000;
  for (std::uint32_t i = 0; i < functions; ++i) b.w32(PEBuilder::at(0x4000) + 4 * i, address(i));
  for (std::uint32_t i = 0; i < names; ++i) {
    b.w32(PEBuilder::at(0x10000) + 4 * i, s);
    b.w16(PEBuilder::at(0x1A000) + 2 * i, static_cast<std::uint16_t>(i));
    const std::string n = name(i);
    b.wstr(PEBuilder::at(s), n);
    s += static_cast<std::uint32_t>(n.size() + 1);
  }
  b.dir(0, 0x3000, 0x40);
}

TEST(PEExports, LimitsOnEntryCounts) {
  {
    PEBuilder b;
    export_table(b, 8200, 8200, [](std::uint32_t i) { return 0x1000 + i; },
                 [](std::uint32_t i) { return "f" + std::to_string(i); });
    ember::PE pe(as_bytes(b.file));
    EXPECT_THAT(pe.warnings(), Contains("Export directory contains more than 8192 symbol entries. Assuming corrupt."));
    EXPECT_EQ(pe.exports().symbols.size(), 8192u + 8u);  // 8192 named, then the 8 unnamed rest by ordinal
  }
  {
    PEBuilder b;
    export_table(b, 8200, 0, [](std::uint32_t i) { return 0x1000 + i; }, [](std::uint32_t) { return std::string(); });
    ember::PE pe(as_bytes(b.file));
    EXPECT_THAT(pe.warnings(), Contains("Export directory contains more than 8192 ordinal entries. Assuming corrupt."));
    EXPECT_EQ(pe.exports().symbols.size(), 8192u);
    EXPECT_EQ(pe.exports().symbols[5].ordinal, 6u);
  }
  {
    PEBuilder b;  // 11 identical (name, address) pairs keep 10
    export_table(b, 1, 11, [](std::uint32_t) { return 0x1000; }, [](std::uint32_t) { return std::string("same"); });
    for (std::uint32_t i = 0; i < 11; ++i) b.w16(PEBuilder::at(0x1A000) + 2 * i, 0);
    ember::PE pe(as_bytes(b.file));
    EXPECT_THAT(pe.warnings(),
                Contains("Export directory contains more than 10 repeated entries (same, 0x1000). Assuming corrupt."));
    EXPECT_EQ(pe.exports().symbols.size(), 10u);
  }
}

// ---------------------------------------------------------------- resources

TEST(PEResources, CycleBackToAnAncestorEndsQuietly) {
  PEBuilder b;
  const std::size_t r = PEBuilder::at(0x3000);
  b.zero(r, 0x40);
  b.w16(r + 14, 1);
  b.w32(r + 16, 3);
  b.w32(r + 20, 0x80000018);
  b.w16(r + 0x18 + 14, 2);
  b.w32(r + 0x28, 1);
  b.w32(r + 0x2C, 0x80000000);  // back to the root
  b.w32(r + 0x30, 2);
  b.w32(r + 0x34, 0x80000018);  // to itself
  b.dir(2, 0x3000, 0x100);
  ember::PE pe(as_bytes(b.file));
  EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
}

TEST(PEResources, ZeroLengthNameIsNotRead) {
  PEBuilder b;
  const std::size_t r = PEBuilder::at(0x3000);
  b.zero(r, 0x60);
  b.w16(r + 12, 1);
  b.w32(r + 16, 0x80000FFE);  // name at RVA 0x3ffe: length 0, text would be past the end
  b.w32(r + 20, 0x40);
  b.w32(r + 0x40, 0x3100);
  b.w32(r + 0x44, 4);
  b.w16(PEBuilder::at(0x3FFE), 0);
  b.dir(2, 0x3000, 0x100);
  ember::PE pe(as_bytes(b.file));
  EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
}

// ---------------------------------------------------------------- relocations, load config, exceptions, Rich

TEST(PEDirectories, BaseRelocationBlocks) {
  struct Case {
    const char* name;
    std::uint32_t page, size;
    std::vector<std::uint16_t> entries;
    bool has;
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases = {
      {"empty block counts once", 0x1000, 0, {}, true, {}},
      {"page at SizeOfImage", 0x4000, 12, {0x3000, 0}, true, {}},
      {"same offset, other type", 0x1000, 12, {0x3010, 0xA010}, true, {}},
      {"same offset and type", 0x1000, 12, {0x3010, 0x3010}, true, {"Overlapping offsets in relocation data at RVA: 0x1010"}},
      {"page above SizeOfImage", 0x4001, 12, {0x3000, 0}, false,
       {"Invalid relocation information. VirtualAddress outside of Image: 0x4001"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PEBuilder b;
    const std::size_t o = PEBuilder::at(0x2000);
    b.w32(o, c.page);
    b.w32(o + 4, c.size);
    for (std::size_t i = 0; i < c.entries.size(); ++i) b.w16(o + 8 + 2 * i, c.entries[i]);
    b.zero(o + 8 + 2 * c.entries.size(), 8);
    b.dir(5, 0x2000, c.size ? c.size : 8);
    ember::PE pe(as_bytes(b.file));
    EXPECT_EQ(pe.has_base_relocations(), c.has);
    EXPECT_EQ(pe.warnings(), c.warnings);
  }
}

TEST(PEDirectories, LoadConfigurationSizes) {
  for (const bool plus : {false, true}) {
    for (const std::uint32_t size : {64u, 100u}) {
      PEBuilder b(plus);
      b.zero(PEBuilder::at(0x2000), 0x200);
      b.w32(PEBuilder::at(0x2000), size);
      b.dir(10, 0x2000, size);
      ember::PE pe(as_bytes(b.file));
      EXPECT_TRUE(pe.has_load_config());
      EXPECT_FALSE(pe.has_dynamic_relocations());
      EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
    }
  }
  for (const std::uint32_t size : {132u, 140u}) {
    PEBuilder b;
    b.w32(PEBuilder::at(0x2000), size);
    b.dir(10, 0x2000, size);
    EXPECT_THROW(ember::PE pe(as_bytes(b.file)), ember::NotPE) << size;
  }
}

TEST(PEDirectories, DynamicRelocationsFound) {
  PEBuilder b;
  b.zero(PEBuilder::at(0x2000), 0x400);
  b.w32(PEBuilder::at(0x2000), 192);
  b.w32(PEBuilder::at(0x2000) + 136, 0x300);
  b.w16(PEBuilder::at(0x2000) + 140, 2);  // section 2 in sorted order: RVA 0x2000
  const std::size_t t = PEBuilder::at(0x2300);
  b.w32(t, 1);
  b.w32(t + 4, 8 + 12);
  b.w32(t + 8, 3);  // symbol 3
  b.w32(t + 12, 12);
  b.w32(t + 16, 0x1000);  // one relocation block of 12 bytes, entries of 4 bytes
  b.w32(t + 20, 12);
  b.w32(t + 24, 0x00000010);
  b.dir(10, 0x2000, 192);
  ember::PE pe(as_bytes(b.file));
  EXPECT_TRUE(pe.has_load_config());
  EXPECT_TRUE(pe.has_dynamic_relocations());
  EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
}

TEST(PEDirectories, ExceptionDirectoryOnlyForX64) {
  PEBuilder b(false);  // x86: never parsed, even when unreadable
  b.w32(PEBuilder::at(0x2000), 0x1000);
  b.w32(PEBuilder::at(0x2000) + 8, 0x900000);
  b.dir(3, 0x2000, 12);
  ember::PE pe(as_bytes(b.file));
  EXPECT_TRUE(pe.warnings().empty()) << ::testing::PrintToString(pe.warnings());
}

TEST(PEDirectories, RichHeader) {
  auto with_rich = [](std::uint32_t dans, std::size_t at) {
    PEBuilder b;
    const std::uint32_t key = 0xA1B2C3D4;
    std::size_t o = at;
    b.w32(o, dans ^ key);
    b.w32(o + 4, key);
    b.w32(o + 8, key);
    b.w32(o + 12, key);
    b.w32(o + 16, 0x00FF0001 ^ key);
    b.w32(o + 20, 7 ^ key);
    b.w32(o + 24, 0x00AB0002 ^ key);
    b.w32(o + 28, 1 ^ key);
    b.w32(o + 32, 0x68636952);
    b.w32(o + 36, key);
    return b.file;
  };
  {
    const std::string f = with_rich(0x536E6144, 0x80);
    ember::PE pe(as_bytes(f));
    EXPECT_TRUE(pe.has_rich_header());
    EXPECT_EQ(pe.rich_values(), (std::vector<std::uint32_t>{0x00FF0001, 7, 0x00AB0002, 1}));
    EXPECT_TRUE(pe.warnings().empty());
  }
  {
    const std::string f = with_rich(0x11111111, 0x80);
    ember::PE pe(as_bytes(f));
    EXPECT_TRUE(pe.has_rich_header());
    EXPECT_EQ(pe.rich_values().size(), 4u);
    EXPECT_EQ(pe.warnings(), std::vector<std::string>{"Rich Header is not in Microsoft format, possibly malformed"});
  }
  {
    const std::string f = with_rich(0x536E6144, 0x82);  // "Rich" not 4-byte aligned from 0x80
    ember::PE pe(as_bytes(f));
    EXPECT_FALSE(pe.has_rich_header());
    EXPECT_TRUE(pe.warnings().empty());
  }
}

// ---------------------------------------------------------------- hostile sizes stay fast

TEST(PEHostile, LargeCountsAreBoundedByTheData) {
  // Directory sizes and counts at their maximum over a small image: every walk
  // ends at the first unreadable structure.
  for (const bool plus : {false, true}) {
    PEBuilder b(plus);
    for (int d = 0; d < 16; ++d) b.dir(d, 0x1000, 0xFFFFFFFF);
    b.w16(PEBuilder::kLfanew + 6, 0xFFFF);
    const auto t0 = std::chrono::steady_clock::now();
    try {
      ember::PE pe(as_bytes(b.file));
    } catch (const std::runtime_error&) {
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
  }
}

TEST(PEHostile, ManyLongResourceNamesAreScannedOnce) {
  // 28672 names, each announcing 65535 characters, at descending offsets into
  // a 512 KiB stretch without NUL bytes: each byte is scanned once, not once
  // per name.
  PEBuilder b;
  b.grow_last(0x80000);
  const std::size_t root = PEBuilder::at(0x3000);
  b.zero(root, 16);
  b.w16(root + 14, 8);
  for (int d = 0; d < 8; ++d) {
    const std::uint32_t sub = 0x100 + static_cast<std::uint32_t>(d) * (16 + 8 * 4096);
    b.w32(root + 16 + 8 * d, static_cast<std::uint32_t>(d + 1));
    b.w32(root + 20 + 8 * d, 0x80000000u | sub);
    const std::size_t so = root + sub;
    b.zero(so, 16);
    b.w16(so + 12, 4096);
    for (std::uint32_t i = 0; i < 4096; ++i) {
      b.w32(so + 16 + 8 * i, 0x80000000u | (0x60000 - 2 * i));
      b.w32(so + 20 + 8 * i, 0x10);
    }
  }
  for (int i = 0; i < 4096 + 2; ++i) b.w16(root + 0x60000 - 2 * 4096 + 2 * i, 0xFFFF);
  b.dir(2, 0x3000, 0x80000);
  const auto t0 = std::chrono::steady_clock::now();
  ember::PE pe(as_bytes(b.file));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
  EXPECT_THAT(pe.warnings(),
              Contains("Error parsing the resources directory. The file contains at least 32776 entries (>32768)"));
}

}  // namespace
