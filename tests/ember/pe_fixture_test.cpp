// ember::PE over real images: executables and DLLs built here from our own
// sources by the mingw-w64 and mono compilers, and DLLs shipped by Debian
// packages. The parsed tables are checked against the cross objdump.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ember/pe.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string fixture(const std::string& name) { return std::string(KAV_PE_FIXTURES) + "/" + name; }

// Images we did not build: shipped by installed Debian packages.
std::vector<std::string> shipped_images() {
  std::vector<std::string> out;
  const char* candidates[] = {
      "/usr/lib/mono/4.5/mscorlib.dll",
      "/usr/lib/mono/4.5/mcs.exe",
      "/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll",
      "/usr/x86_64-w64-mingw32/lib/zlib1.dll",
      "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgcc_s_seh-1.dll",
      "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libstdc++-6.dll",
      "/usr/lib/gcc/i686-w64-mingw32/12-win32/libgcc_s_dw2-1.dll",
  };
  for (const char* c : candidates)
    if (fs::exists(c)) out.push_back(c);
  // Windows DLLs of the Wine packages, when installed.
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/lib/i386-linux-gnu/wine/i386-windows"}) {
    for (const char* dll : {"kernel32.dll", "ws2_32.dll", "oleaut32.dll", "msvcrt.dll", "user32.dll"}) {
      const std::string p = std::string(dir) + "/" + dll;
      if (fs::exists(p)) out.push_back(p);
    }
  }
  return out;
}

std::vector<std::string> built_images() {
  std::vector<std::string> out;
  for (const char* n : {"app32.exe", "app64.exe", "lib32.dll", "lib64.dll", "hello.exe", "hellolib.dll"})
    if (fs::exists(fixture(n))) out.push_back(fixture(n));
  return out;
}

std::vector<std::string> all_images() {
  auto a = built_images();
  const auto b = shipped_images();
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const ember::ImportDescriptor* find_dll(const ember::PE& pe, const std::string& dll) {
  for (const auto& d : pe.imports())
    if (d.dll == dll) return &d;
  return nullptr;
}

const ember::ImportSymbol* find_symbol(const ember::ImportDescriptor& d, const std::string& name) {
  for (const auto& s : d.symbols)
    if (s.name && *s.name == name) return &s;
  return nullptr;
}

TEST(PEFixtures, BuiltFixturesArePresent) {
  // Both cross compilers and the C# compiler are build dependencies.
  EXPECT_EQ(built_images().size(), 6u);
}

TEST(PEFixtures, EveryImageParses) {
  for (const auto& path : all_images()) {
    SCOPED_TRACE(path);
    const std::string bytes = read_file(path);
    ASSERT_NO_THROW({
      ember::PE pe(as_bytes(bytes));
      EXPECT_TRUE(pe.pe_type() == ember::PE::kPE32 || pe.pe_type() == ember::PE::kPE32Plus);
      EXPECT_FALSE(pe.sections().empty());
      EXPECT_TRUE(pe.has_imports());
    });
  }
}

TEST(PEFixtures, OurExecutablesImportByNameAndOrdinal) {
  for (const char* name : {"app32.exe", "app64.exe"}) {
    SCOPED_TRACE(name);
    const std::string bytes = read_file(fixture(name));
    ember::PE pe(as_bytes(bytes));
    EXPECT_EQ(pe.pe_type(), std::string(name) == "app64.exe" ? ember::PE::kPE32Plus : ember::PE::kPE32);
    const auto* k32 = find_dll(pe, "KERNEL32.dll");
    ASSERT_NE(k32, nullptr);
    const auto* gev = find_symbol(*k32, "GetEnvironmentVariableA");
    ASSERT_NE(gev, nullptr);
    EXPECT_FALSE(gev->by_ordinal);
    EXPECT_NE(find_symbol(*k32, "GetProcAddress"), nullptr);
    EXPECT_NE(find_symbol(*k32, "LoadLibraryA"), nullptr);
    // The ordinal-only imports get the names of the built-in ws2_32 table.
    const auto* ws2 = find_dll(pe, "WS2_32.dll");
    ASSERT_NE(ws2, nullptr);
    std::map<std::uint64_t, std::string> by_ordinal;
    for (const auto& s : ws2->symbols) {
      EXPECT_TRUE(s.by_ordinal);
      by_ordinal[s.ordinal] = s.name.value_or("");
    }
    EXPECT_EQ(by_ordinal, (std::map<std::uint64_t, std::string>{{9, "htons"}, {23, "socket"}}));
    EXPECT_FALSE(pe.has_exports());
    EXPECT_TRUE(pe.has_base_relocations());
    // TLS directory, version information and string table parse cleanly.
    ASSERT_GT(pe.data_directories().size(), 9u);
    EXPECT_NE(pe.data_directories()[9].VirtualAddress, 0u);
    EXPECT_NE(pe.data_directories()[2].VirtualAddress, 0u);
    for (const auto& w : pe.warnings()) {
      EXPECT_EQ(w.find("resource"), std::string::npos) << w;
      EXPECT_EQ(w.find("version"), std::string::npos) << w;
      EXPECT_EQ(w.find("TLS"), std::string::npos) << w;
      EXPECT_EQ(w.find("import"), std::string::npos) << w;
    }
  }
}

TEST(PEFixtures, OurLibrariesExportNamesOrdinalsAndForwarders) {
  for (const char* name : {"lib32.dll", "lib64.dll"}) {
    SCOPED_TRACE(name);
    const std::string bytes = read_file(fixture(name));
    ember::PE pe(as_bytes(bytes));
    ASSERT_TRUE(pe.has_exports());
    std::map<std::uint32_t, ember::ExportSymbol> by_ordinal;
    for (const auto& e : pe.exports().symbols) by_ordinal[e.ordinal] = e;
    ASSERT_EQ(by_ordinal.size(), 6u);
    EXPECT_EQ(by_ordinal[1].name.value_or(""), "fixture_add");
    EXPECT_EQ(by_ordinal[2].name.value_or(""), "fixture_mul");
    EXPECT_FALSE(by_ordinal[5].name.has_value());
    EXPECT_NE(by_ordinal[5].address, 0u);
    EXPECT_EQ(by_ordinal[6].name.value_or(""), "fixture_counter");
    EXPECT_EQ(by_ordinal[10].name.value_or(""), "ForwardedTick");
    EXPECT_EQ(by_ordinal[10].forwarder.value_or(""), "kernel32.GetTickCount");
    EXPECT_EQ(by_ordinal[11].forwarder.value_or(""), "kernel32.Sleep");
    EXPECT_FALSE(by_ordinal[1].forwarder.has_value());
    // Named exports come first, in name-table order; the ordinal-only one last.
    EXPECT_FALSE(pe.exports().symbols.back().name.has_value());
    EXPECT_TRUE(pe.file_header().Characteristics & 0x2000);
  }
}

TEST(PEFixtures, DotNetAssembliesHaveTheRuntimeHeader) {
  std::vector<std::string> images = {fixture("hello.exe"), fixture("hellolib.dll")};
  if (fs::exists("/usr/lib/mono/4.5/mscorlib.dll")) images.push_back("/usr/lib/mono/4.5/mscorlib.dll");
  for (const auto& path : images) {
    SCOPED_TRACE(path);
    const std::string bytes = read_file(path);
    ember::PE pe(as_bytes(bytes));
    ASSERT_GT(pe.data_directories().size(), 14u);
    EXPECT_NE(pe.data_directories()[14].VirtualAddress, 0u);
    const auto* mscoree = find_dll(pe, "mscoree.dll");
    ASSERT_NE(mscoree, nullptr);
    ASSERT_EQ(mscoree->symbols.size(), 1u);
    const std::string entry = mscoree->symbols[0].name.value_or("");
    EXPECT_TRUE(entry == "_CorExeMain" || entry == "_CorDllMain") << entry;
  }
}

// ---------------------------------------------------------------- objdump cross-check

struct ObjdumpView {
  std::map<unsigned, std::pair<std::uint64_t, std::uint64_t>> directories;  // index -> (VA, size)
  std::map<std::string, std::multiset<std::string>> imports;                  // dll -> names or "#ordinal"
  std::multiset<std::pair<std::uint64_t, std::string>> exports;                 // (ordinal, name or "")
  std::map<std::uint64_t, std::string> forwarders;                              // ordinal -> target
  struct Section {
    std::string name;
    std::uint64_t size, vma, file_offset;
  };
  std::vector<Section> sections;
};

ObjdumpView run_objdump(const std::string& path) {
  ObjdumpView v;
  const auto p = test::run({KAV_MINGW_OBJDUMP, "-p", path});
  EXPECT_EQ(p.status, 0) << p.err;
  std::istringstream in(p.out);
  std::string line;
  std::string dll;
  enum { None, Imports, Delay, Eat, Names } mode = None;
  std::uint64_t base = 0;
  while (std::getline(in, line)) {
    unsigned idx = 0;
    unsigned long long va = 0, size = 0;
    if (std::sscanf(line.c_str(), "Entry %x %llx %llx", &idx, &va, &size) == 3) {
      v.directories[idx] = {va, size};
      continue;
    }
    if (line.rfind("The Import Tables", 0) == 0) { mode = Imports; continue; }
    if (line.find("Delay Import Tables") != std::string::npos) { mode = Delay; continue; }
    if (line.rfind("Export Address Table -- Ordinal Base", 0) == 0) {
      std::sscanf(line.c_str(), "Export Address Table -- Ordinal Base %llu", &va);
      base = va;
      mode = Eat;
      continue;
    }
    if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) { mode = Names; continue; }
    if (line.empty()) {
      if (mode == Eat || mode == Names) mode = None;
      continue;
    }
    if (mode == Imports) {
      const auto pos = line.find("DLL Name: ");
      if (pos != std::string::npos) { dll = line.substr(pos + 10); v.imports[dll]; continue; }
      unsigned long long vma = 0, hint = 0;
      char name[512] = {};
      if (!dll.empty() && line[0] == '\t' && std::sscanf(line.c_str(), " %llx %llu %511s", &vma, &hint, name) == 3 &&
          line.find("Hint/Ord") == std::string::npos) {
        const std::string n = name;
        // For an ordinal import the first column is the thunk, whose low 16 bits are the ordinal.
        v.imports[dll].insert(n == "<none>" ? "#" + std::to_string(vma & 0xFFFF) : n);
      }
    } else if (mode == Eat) {
      unsigned long long i = 0, ord = 0, rva = 0;
      if (std::sscanf(line.c_str(), " [%llu] +base[%llu] %llx", &i, &ord, &rva) == 3) {
        const auto f = line.find("Forwarder RVA -- ");
        if (f != std::string::npos) v.forwarders[ord] = line.substr(f + 17);
      }
    } else if (mode == Names) {
      unsigned long long i = 0;
      char name[512] = {};
      if (std::sscanf(line.c_str(), " [%llu] %511s", &i, name) == 2) v.exports.insert({i + base, name});
    }
  }
  const auto h = test::run({KAV_MINGW_OBJDUMP, "-h", path});
  std::istringstream hin(h.out);
  while (std::getline(hin, line)) {
    unsigned idx = 0;
    char name[256] = {};
    unsigned long long size = 0, vma = 0, lma = 0, off = 0;
    if (std::sscanf(line.c_str(), " %u %255s %llx %llx %llx %llx", &idx, name, &size, &vma, &lma, &off) == 6)
      v.sections.push_back({name, size, vma, off});
  }
  return v;
}

TEST(PEFixtures, AgreesWithObjdump) {
  if (std::string(KAV_MINGW_OBJDUMP).empty() || !fs::exists(KAV_MINGW_OBJDUMP)) GTEST_SKIP() << "no cross objdump";
  for (const auto& path : all_images()) {
    SCOPED_TRACE(path);
    const std::string bytes = read_file(path);
    ember::PE pe(as_bytes(bytes));
    const ObjdumpView ref = run_objdump(path);

    // Data directories.
    ASSERT_EQ(ref.directories.size(), pe.data_directories().size());
    for (const auto& d : pe.data_directories()) {
      ASSERT_TRUE(ref.directories.count(d.index));
      EXPECT_EQ(ref.directories.at(d.index).first, d.VirtualAddress) << "directory " << d.index;
      EXPECT_EQ(ref.directories.at(d.index).second, d.Size) << "directory " << d.index;
    }

    // Imports: every library with its names, and ordinals for unnamed ones.
    std::map<std::string, std::multiset<std::string>> ours;
    for (const auto& d : pe.imports()) {
      auto& set = ours[d.dll];
      for (const auto& s : d.symbols) {
        if (s.by_ordinal) set.insert("#" + std::to_string(s.ordinal));
        else set.insert(s.name.value_or(""));
      }
    }
    EXPECT_EQ(ours, ref.imports);

    // Exports: named ones by (ordinal, name); forwarders by target.
    std::multiset<std::pair<std::uint64_t, std::string>> named;
    std::map<std::uint64_t, std::string> forwarders;
    for (const auto& e : pe.exports().symbols) {
      if (e.name) named.insert({e.ordinal, *e.name});
      if (e.forwarder) forwarders[e.ordinal] = *e.forwarder;
    }
    EXPECT_EQ(named, ref.exports);
    EXPECT_EQ(forwarders, ref.forwarders);

    // Sections: table order, addresses and file offsets.
    std::vector<const ember::SectionHeader*> table;
    for (const auto& s : pe.sections()) table.push_back(&s);
    std::sort(table.begin(), table.end(), [](auto* a, auto* b) { return a->table_index < b->table_index; });
    ASSERT_EQ(table.size(), ref.sections.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
      const auto& s = *table[i];
      const auto& r = ref.sections[i];
      SCOPED_TRACE(r.name);
      if (s.raw_name().rfind('/', 0) != 0) {
        EXPECT_EQ(s.raw_name(), r.name);
      }
      EXPECT_EQ(pe.optional_header().ImageBase + s.VirtualAddress, r.vma);
      EXPECT_EQ(s.PointerToRawData, r.file_offset);
      EXPECT_TRUE(r.size == s.VirtualSize || r.size == s.SizeOfRawData) << r.size;
    }
  }
}

}  // namespace

namespace {

// The cross linker builds a delay-import descriptor but leaves data directory
// 13 empty; the test points the directory at the descriptor it finds in the
// symbol table, so the delay-import walk reads what the toolchain wrote.
TEST(PEFixtures, DelayImportsOfOurExecutables) {
  if (std::string(KAV_MINGW_OBJDUMP).empty() || !fs::exists(KAV_MINGW_OBJDUMP)) GTEST_SKIP() << "no cross objdump";
  for (const char* name : {"app32.exe", "app64.exe"}) {
    SCOPED_TRACE(name);
    std::string bytes = read_file(fixture(name));
    const auto syms = test::run({KAV_MINGW_OBJDUMP, "-t", fixture(name)});
    std::istringstream in(syms.out);
    std::string line;
    unsigned sec = 0;
    unsigned long long value = 0;
    bool found = false;
    while (std::getline(in, line)) {
      if (line.find("__DELAY_IMPORT_DESCRIPTOR_") == std::string::npos) continue;
      const auto p = line.find("(sec");
      const auto v = line.find(") 0x");
      ASSERT_NE(p, std::string::npos);
      ASSERT_NE(v, std::string::npos);
      sec = static_cast<unsigned>(std::stoul(line.substr(p + 4)));
      value = std::stoull(line.substr(v + 4), nullptr, 16);
      found = true;
    }
    ASSERT_TRUE(found);
    std::uint32_t rva = 0;
    std::size_t dir13 = 0;
    {
      ember::PE pe(as_bytes(bytes));
      for (const auto& s : pe.sections())
        if (s.table_index + 1 == sec) rva = s.VirtualAddress + static_cast<std::uint32_t>(value);
      dir13 = pe.optional_header().file_offset + pe.optional_header().structure_size + 13 * 8;
    }
    ASSERT_NE(rva, 0u);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    put32(dir13, rva);
    put32(dir13 + 4, 32);
    {
      ember::PE pe(as_bytes(bytes));
      for (const auto& w : pe.warnings()) EXPECT_EQ(w.find("elay"), std::string::npos) << w;
    }
    // Both thunk tables moved out of the image: the walk reports them.
    ember::PE probe(as_bytes(bytes));
    const std::size_t desc = static_cast<std::size_t>(probe.offset_from_rva(rva));
    put32(desc + 12, 0x7FFFFFF0);
    put32(desc + 16, 0x7FFFFFF0);
    ember::PE damaged(as_bytes(bytes));
    EXPECT_THAT(damaged.warnings(), ::testing::Contains(::testing::HasSubstr("Error parsing the import table. Invalid data at RVA: 0x7ffffff0")));
  }
}

}  // namespace
