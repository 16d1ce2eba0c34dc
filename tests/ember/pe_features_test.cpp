#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "ember/authenticode.h"
#include "ember/feature_hasher.h"
#include "ember/features.h"
#include "ember/pe.h"
#include "ember/pe_features.h"
#include "platform/file_system.h"
#include "support/test_support.h"

namespace {

using ember::FeatureInfo;

// Images built by the build (cross-compiled programs, .NET assemblies) and
// vendor-signed boot loaders, where they exist.
std::vector<std::string> shipped_images() {
  std::vector<std::string> out = {"/usr/lib/shim/shimx64.efi.signed", "/usr/lib/shim/fbx64.efi.signed",
                                  "/usr/lib/shim/mmx64.efi.signed"};
#ifdef KAV_PE_FIXTURES
  for (const char* f : {"app32.exe", "app64.exe", "lib32.dll", "lib64.dll", "hello.exe", "hellolib.dll"})
    out.push_back(std::string(KAV_PE_FIXTURES) + "/" + f);
#endif
  return out;
}

std::uint32_t u32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  read_le(as_bytes(b), at, v);
  return v;
}
std::uint16_t u16(const std::string& b, std::size_t at) {
  std::uint16_t v = 0;
  read_le(as_bytes(b), at, v);
  return v;
}

// Windows programs and libraries built here with a cross compiler, some
// signed with the signing tool, plus the distributor-signed boot loaders.
class PeFeatureFixtures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"openssl", "osslsigncode", "x86_64-w64-mingw32-gcc", "i686-w64-mingw32-gcc"})
      if (!test::have_tool(tool)) {
        missing_ = tool;
        return;
      }
    dir_ = std::make_unique<test::TempDir>();
    dir_->write("hello.c",
                "#include <windows.h>\n"
                "int main(void) { MessageBoxA(0, \"http://example.test/\", \"Hello\", 0); return 42; }\n");
    dir_->write("lib.c",
                "__declspec(dllexport) int lib_add(int a, int b) { return a + b; }\n"
                "__declspec(dllexport) int lib_sub(int a, int b) { return a - b; }\n"
                "int lib_hidden(int a) { return a * 3; }\n");
    dir_->write("ord.c", "int ord_one(int a) { return a + 1; }\nint ord_two(int a) { return a + 2; }\n");
    dir_->write("ord.def", "LIBRARY ord.dll\nEXPORTS\n  ord_one @1 NONAME\n  ord_two @2 NONAME\n");
    const std::string steps[] = {
        "x86_64-w64-mingw32-gcc -O1 -o hello64.exe hello.c",
        "i686-w64-mingw32-gcc -O1 -o hello32.exe hello.c",
        "x86_64-w64-mingw32-gcc -O1 -shared -o lib64.dll lib.c",
        "i686-w64-mingw32-gcc -O1 -shared -o ord32.dll ord.c ord.def",
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout k.pem -out c.pem"
        " -days 365 -subj '/CN=Keltharon Feature Signer'",
        "osslsigncode sign -h sha256 -certs c.pem -key k.pem -in hello64.exe -out signed64.exe",
        "osslsigncode sign -h sha256 -certs c.pem -key k.pem -in lib64.dll -out signed64.dll",
    };
    for (const std::string& step : steps)
      if (test::sh("cd " + dir_->path() + " && " + step) != 0) {
        failed_step_ = step;
        return;
      }
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";
    ASSERT_EQ(failed_step_, "");
  }
  static std::string image(const std::string& name) { return read_whole_file(dir_->file(name)); }
  static std::vector<std::string> all_images() {
    std::vector<std::string> out;
    for (const char* f : {"hello64.exe", "hello32.exe", "lib64.dll", "ord32.dll", "signed64.exe", "signed64.dll"})
      out.push_back(image(f));
    for (const std::string& f : shipped_images())
      if (path_exists(f)) out.push_back(read_whole_file(f));
    return out;
  }

  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::string missing_, failed_step_;
};

TEST_F(PeFeatureFixtures, EveryValueIsFiniteForEveryFixture) {
  std::vector<std::string> inputs = all_images();
  const std::size_t whole = inputs.size();
  // Damaged variants: truncations, a garbled section table, bytes appended.
  for (std::size_t i = 0; i < whole; ++i) {
    const std::string pe = inputs[i];  // a copy: the list grows below
    inputs.push_back(pe.substr(0, pe.size() / 2));
    inputs.push_back(pe.substr(0, 1024));
    std::string garbled = pe;
    const std::size_t table = u32(pe, 0x3C) + 24 + u16(pe, u32(pe, 0x3C) + 20);
    for (std::size_t k = table; k < table + 80 && k < garbled.size(); ++k) garbled[k] = static_cast<char>(k * 37);
    inputs.push_back(garbled);
    inputs.push_back(pe + std::string(5000, '\xCC'));
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    FeatureInfo info;
    const std::vector<float> v = ember::extract_features(as_bytes(inputs[i]), &info);
    ASSERT_EQ(v.size(), ember::kFeatureCount);
    for (std::size_t k = 0; k < v.size(); ++k) ASSERT_TRUE(std::isfinite(v[k])) << "input " << i << " value " << k;
    if (i < whole) {
      EXPECT_TRUE(info.is_pe) << i;
      EXPECT_EQ(v[2], 1.0f);
    }
  }
}

// Independent reads of the headers, for comparison with the vector.
struct Raw {
  explicit Raw(const std::string& b) : b(b), nt(u32(b, 0x3C)), opt(nt + 24) {}
  bool plus() const { return u16(b, opt) == 0x20B; }
  std::size_t dirs() const { return opt + (plus() ? 112 : 96); }
  const std::string& b;
  std::size_t nt, opt;
};

TEST_F(PeFeatureFixtures, KnownValuesOfSmallPrograms) {
  struct Case {
    const char* file;
    float machine;
    ember::FileKind kind;
    bool dll;
    bool is_signed;
  } cases[] = {
      {"hello64.exe", 32, ember::FileKind::Win64, false, false},
      {"hello32.exe", 1, ember::FileKind::Win32, false, false},
      {"lib64.dll", 32, ember::FileKind::Win64, true, false},
      {"ord32.dll", 1, ember::FileKind::Win32, true, false},
      {"signed64.exe", 32, ember::FileKind::Win64, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string pe = image(c.file);
    const Raw raw(pe);
    FeatureInfo info;
    const std::vector<float> v = ember::extract_features(as_bytes(pe), &info);
    const float* header = v.data() + ember::kHeaderOffset;
    EXPECT_EQ(header[0], static_cast<float>(u32(pe, raw.nt + 8)));   // TimeDateStamp
    EXPECT_EQ(header[1], static_cast<float>(u16(pe, raw.nt + 6)));   // NumberOfSections
    EXPECT_EQ(header[5], c.machine);
    EXPECT_EQ(header[6], 3.0f);  // console subsystem
    EXPECT_EQ(header[30 + 13], c.dll ? 1.0f : 0.0f);  // Characteristics bit 13
    EXPECT_EQ(header[57], static_cast<float>('M' | ('Z' << 8)));
    EXPECT_EQ(header[73], static_cast<float>(raw.nt));
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.is_dll, c.dll);
    EXPECT_EQ(info.is_signed, c.is_signed);
    EXPECT_EQ(info.section_count, u16(pe, raw.nt + 6));
    EXPECT_EQ(v[ember::kSectionsOffset], static_cast<float>(info.section_count));

    // Data directories 0-14 as the table holds them; 15 is never used.
    const float* dd = v.data() + ember::kDataDirectoriesOffset;
    for (std::size_t k = 0; k < 16; ++k) {
      const float size = k < 15 ? static_cast<float>(u32(pe, raw.dirs() + 8 * k + 4)) : 0.0f;
      const float rva = k < 15 ? static_cast<float>(u32(pe, raw.dirs() + 8 * k)) : 0.0f;
      EXPECT_EQ(dd[2 * k], size) << k;
      EXPECT_EQ(dd[2 * k + 1], rva) << k;
    }
    EXPECT_EQ(dd[32], 1.0f);  // the cross compiler always emits base relocations

    // Authenticode: the summary's own values.
    const ember::AuthenticodeSummary a = ember::authenticode_summary(as_bytes(pe), u32(pe, raw.nt + 8));
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(v[ember::kAuthenticodeOffset + k], static_cast<float>(a.values[k]));
    EXPECT_EQ(info.signers, c.is_signed ? std::vector<std::string>{"Keltharon Feature Signer"} : a.names);

    // The program imports from kernel32 and (for the programs) user32.
    bool kernel = false, user = !std::string(c.file).starts_with("hello");
    for (const std::string& key : info.imports) {
      kernel |= key.starts_with("kernel32.dll:");
      user |= key == "user32.dll:MessageBoxA";
    }
    EXPECT_TRUE(kernel);
    EXPECT_TRUE(user);
    EXPECT_EQ(v[ember::kImportsOffset], static_cast<float>(info.imports.size()));
  }
}

TEST_F(PeFeatureFixtures, ExportsByNameAndByOrdinal) {
  struct Case {
    const char* file;
    std::vector<std::string> hashed;  // empty: no exports
  } cases[] = {
      {"lib64.dll", {"lib_add", "lib_sub"}},
      {"ord32.dll", {"ordinal1", "ordinal2"}},
      {"hello64.exe", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<float> v = ember::extract_features(as_bytes(image(c.file)), nullptr);
    std::vector<float> expected(ember::kExportsCount, 0.0f);
    if (!c.hashed.empty()) {
      ember::FeatureHasher h(128, true);
      for (const std::string& s : c.hashed) h.add(s, 1.0);
      expected.clear();
      expected.push_back(128.0f);
      h.append_to(expected);
    }
    EXPECT_EQ(std::vector<float>(v.begin() + ember::kExportsOffset,
                                 v.begin() + ember::kExportsOffset + ember::kExportsCount),
              expected);
  }
}

TEST_F(PeFeatureFixtures, OverlayAndSignedFiles) {
  const std::string pe = image("hello64.exe");
  FeatureInfo plain, padded;
  const std::vector<float> a = ember::extract_features(as_bytes(pe), &plain);
  const std::vector<float> b = ember::extract_features(as_bytes(pe + std::string(4000, 'A')), &padded);
  EXPECT_EQ(padded.overlay_size, plain.overlay_size + 4000);
  const float* sec = b.data() + ember::kSectionsOffset;
  EXPECT_EQ(sec[221], static_cast<float>(padded.overlay_size));
  EXPECT_EQ(sec[222], static_cast<float>(padded.overlay_size / static_cast<double>(pe.size() + 4000)));
  EXPECT_EQ(sec[223], plain.overlay_size == 0 ? 0.0f : sec[223]);
}

TEST_F(PeFeatureFixtures, ParserWarningsByPattern) {
  std::string pe = image("hello64.exe");
  const std::size_t nt = u32(pe, 0x3C), table = nt + 24 + u16(pe, nt + 20);
  const std::vector<float> clean = ember::extract_features(as_bytes(pe), nullptr);
  // Two sections whose data lies past the end of the file: two warnings, one pattern.
  for (std::size_t k : {std::size_t{0}, std::size_t{1}})
    for (int i = 0; i < 4; ++i) pe[table + 40 * k + 20 + i] = static_cast<char>(i == 3 ? 0x7F : 0x00);
  ember::FeatureInfo info;
  const std::vector<float> v = ember::extract_features(as_bytes(pe), &info);
  ASSERT_TRUE(info.is_pe);
  const float* w = v.data() + ember::kWarningsOffset;
  EXPECT_EQ(w[79], 1.0f);
  float patterns = 0;
  for (std::size_t k = 0; k < 87; ++k) patterns += w[k];
  EXPECT_EQ(w[87], patterns);
  EXPECT_EQ(clean[ember::kWarningsOffset + 79], 0.0f);
}

TEST_F(PeFeatureFixtures, RepeatedLibraryNames) {
  const std::string pe = image("hello64.exe");
  const std::size_t at = pe.find("USER32.dll");
  ASSERT_NE(at, std::string::npos);
  FeatureInfo plain;
  ember::extract_features(as_bytes(pe), &plain);
  std::size_t msvcrt = 0, kernel = 0;
  for (const std::string& key : plain.imports) {
    msvcrt += key.starts_with("msvcrt.dll:");
    kernel += key.starts_with("kernel32.dll:");
  }
  ASSERT_GT(msvcrt, 1u);
  struct Case {
    const char* rename;        // the new name of the USER32.dll descriptor
    std::size_t keys;          // expected number of import keys
  } cases[] = {
      {"msvcrt.dll", kernel + 1},           // same name: only the later descriptor's functions remain
      {"MSVCRT.dll", kernel + msvcrt + 1},  // another case: two entries, one library-set name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rename);
    std::string renamed = pe;
    renamed.replace(at, 10, c.rename);
    FeatureInfo info;
    const std::vector<float> v = ember::extract_features(as_bytes(renamed), &info);
    EXPECT_EQ(info.imports.size(), c.keys);
    EXPECT_EQ(v[ember::kImportsOffset], static_cast<float>(c.keys));
    EXPECT_EQ(v[ember::kImportsOffset + 1], 2.0f);  // kernel32.dll and msvcrt.dll
    EXPECT_EQ(info.imports.back(), "msvcrt.dll:MessageBoxA");
  }
}

TEST_F(PeFeatureFixtures, EntrySectionAndDirectoryCount) {
  std::string pe = image("hello64.exe");
  const std::size_t nt = u32(pe, 0x3C), opt = nt + 24, table = opt + u16(pe, nt + 20);
  ASSERT_EQ(u16(pe, opt), 0x20B);
  // The entry point outside every section, and the one executable section unnamed.
  std::string moved = pe;
  for (int i = 0; i < 4; ++i) moved[opt + 16 + i] = static_cast<char>(i == 3 ? 0x7F : 0xF0);
  for (int i = 0; i < 8; ++i) moved[table + i] = '\0';
  const std::vector<float> v = ember::extract_features(as_bytes(moved), nullptr);
  const float* entry_bins = v.data() + ember::kSectionsOffset + 211;
  EXPECT_EQ(entry_bins[0], 1.0f);
  for (int k = 1; k < 10; ++k) EXPECT_EQ(entry_bins[k], 0.0f) << k;
  EXPECT_EQ(v[ember::kSectionsOffset + 2], 1.0f);  // one section with an empty name

  // With the entry point outside every section, the first executable section
  // of the file's own table names it, even when the table is not in address order.
  auto entry_of = [&](bool swap, bool text_exec, bool data_exec) {
    std::string f = moved;
    for (int i = 0; i < 8; ++i) f[table + i] = pe[table + i];  // keep ".text" named
    auto flags_at = [&](std::size_t entry) { return table + 40 * entry + 36; };
    auto set_exec = [&](std::size_t entry, bool on) {
      std::uint32_t c = u32(f, flags_at(entry));
      c = on ? (c | 0x20000000u) : (c & ~0x20000000u);
      for (int i = 0; i < 4; ++i) f[flags_at(entry) + i] = static_cast<char>(c >> (8 * i));
    };
    set_exec(0, text_exec);
    set_exec(1, data_exec);
    if (swap) {
      const std::string first = f.substr(table, 40);
      f.replace(table, 40, f.substr(table + 40, 40));
      f.replace(table + 40, 40, first);
    }
    const std::vector<float> e = ember::extract_features(as_bytes(f), nullptr);
    return std::vector<float>(e.begin() + ember::kSectionsOffset + 211, e.begin() + ember::kSectionsOffset + 221);
  };
  const auto text_entry = entry_of(false, true, false), second_entry = entry_of(false, false, true);
  ASSERT_NE(text_entry, second_entry);
  EXPECT_EQ(entry_of(false, true, true), text_entry) << "table order is address order here";
  EXPECT_EQ(entry_of(true, true, true), second_entry) << "the table lists the second section first";

  // A table of 10 directories: entries 0-8 are used, 9 (present in the file) is not.
  std::string ten = pe;
  ten[opt + 108] = 10;
  ASSERT_NE(u32(pe, opt + 112 + 8 * 9), 0u);
  const std::vector<float> d = ember::extract_features(as_bytes(ten), nullptr);
  EXPECT_EQ(d[ember::kHeaderOffset + 29], 10.0f);
  for (std::size_t k = 0; k < 16; ++k) {
    const bool used = k < 9;
    EXPECT_EQ(d[ember::kDataDirectoriesOffset + 2 * k], used ? static_cast<float>(u32(pe, opt + 112 + 8 * k + 4)) : 0.0f);
    EXPECT_EQ(d[ember::kDataDirectoriesOffset + 2 * k + 1], used ? static_cast<float>(u32(pe, opt + 112 + 8 * k)) : 0.0f);
  }
}

TEST(PeFeatures, DotNetAssembliesAreTheirOwnKind) {
#ifdef KAV_PE_FIXTURES
  for (const char* f : {"hello.exe", "hellolib.dll"}) {
    const std::string path = std::string(KAV_PE_FIXTURES) + "/" + f;
    if (!path_exists(path)) GTEST_SKIP() << "the .NET fixtures were not built";
    FeatureInfo info;
    const std::vector<float> v = ember::extract_features(as_bytes(read_whole_file(path)), &info);
    EXPECT_EQ(info.kind, ember::FileKind::DotNet) << f;
    EXPECT_NE(v[ember::kDataDirectoriesOffset + 2 * 14 + 1], 0.0f) << f;  // the CLR header's RVA
  }
#else
  GTEST_SKIP() << "no build-time PE fixtures";
#endif
}

TEST(PeFeatures, NotPeInputsGiveZeroPeGroups) {
  for (const std::string& in : {std::string("MZ") + std::string(300, '\0'), std::string(100, 'x'),
                                std::string("\x7F" "ELF") + std::string(64, '\1')}) {
    FeatureInfo info;
    const std::vector<float> v = ember::extract_features(as_bytes(in), &info);
    ASSERT_EQ(v.size(), ember::kFeatureCount);
    EXPECT_FALSE(info.is_pe);
    for (std::size_t k = ember::kPeGroupsOffset; k < v.size(); ++k) ASSERT_EQ(v[k], 0.0f) << k;
  }
}

TEST(PeFeatures, WarningPatterns) {
  struct Case {
    const char* warning;
    int pattern;
  } cases[] = {
      {"Byte 0x4d makes the checksum bad", 2},
      {"Error parsing the Delay import directory at RVA: 0x1000", 12},  // the longer prefix wins over 11
      {"Error parsing the Delay import directory. Invalid data", 11},
      {"Section 3 Contents are null-bytes.", 77},
      {"Export directory has 10000 ordinal entries. Assuming corrupt.", 85},
      {"Too many things. Assuming corrupt.", 86},
      {"Suspicious value found parsing section 2. VirtualSize is extremely large > 256MiB.", 69},
      {"Something nobody warns about", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(ember::warning_pattern(c.warning), c.pattern) << c.warning;
}

}  // namespace
