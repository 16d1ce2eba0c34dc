#include "ember/pe_features.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>

#include "ember/authenticode.h"
#include "ember/feature_hasher.h"
#include "ember/pe.h"

namespace ember {
namespace {

// Appends values as the nearest single-precision numbers.
class Out {
 public:
  explicit Out(std::vector<float>& v) : v_(v) {}
  void operator()(double x) { v_.push_back(static_cast<float>(x)); }
  void bins(const FeatureHasher& h) { h.append_to(v_); }

 private:
  std::vector<float>& v_;
};

int machine_code(std::uint16_t m) {
  static constexpr std::uint16_t kMachines[] = {
      0x14C, 0x162, 0x166, 0x168, 0x169, 0x184, 0x1A2, 0x1A3, 0x1A4, 0x1A6, 0x1A8, 0x1C0,
      0x1C2, 0x1C4, 0x1D3, 0x1F0, 0x1F1, 0x200, 0x266, 0,     0x284, 0x366, 0x466, 0x520,
      0xCEF, 0xEBC, 0x5032, 0x5064, 0x5128, 0x6232, 0x6264, 0x8664, 0x9041, 0xAA64, 0xC0EE};
  if (m == 0) return 0;  // the table's gap at code 20 must not match an unknown machine 0
  for (std::size_t i = 0; i < std::size(kMachines); ++i)
    if (kMachines[i] == m) return static_cast<int>(i) + 1;
  return 0;
}

int subsystem_code(std::uint16_t s) {
  static constexpr std::uint16_t kSubsystems[] = {0, 1, 2, 3, 5, 7, 8, 9, 10, 11, 12, 13, 14, 16};
  for (std::size_t i = 0; i < std::size(kSubsystems); ++i)
    if (kSubsystems[i] == s) return static_cast<int>(i);
  return 0;
}

void header_group(const PE& pe, Out& out) {
  const FileHeader& f = pe.file_header();
  const OptionalHeader& o = pe.optional_header();
  const DosHeader& d = pe.dos_header();
  for (double v : {double(f.TimeDateStamp), double(f.NumberOfSections), double(f.NumberOfSymbols),
                   double(f.SizeOfOptionalHeader), double(f.PointerToSymbolTable)})
    out(v);
  out(machine_code(f.Machine));
  out(subsystem_code(o.Subsystem));
  for (double v : {double(o.MajorImageVersion), double(o.MinorImageVersion), double(o.MajorLinkerVersion),
                   double(o.MinorLinkerVersion), double(o.MajorOperatingSystemVersion),
                   double(o.MinorOperatingSystemVersion), double(o.MajorSubsystemVersion),
                   double(o.MinorSubsystemVersion), double(o.SizeOfCode), double(o.SizeOfHeaders),
                   double(o.SizeOfImage), double(o.SizeOfInitializedData), double(o.SizeOfUninitializedData),
                   double(o.SizeOfStackReserve), double(o.SizeOfStackCommit), double(o.SizeOfHeapReserve),
                   double(o.SizeOfHeapCommit), double(o.AddressOfEntryPoint), double(o.BaseOfCode),
                   double(o.ImageBase), double(o.SectionAlignment), double(o.CheckSum),
                   double(o.NumberOfRvaAndSizes)})
    out(v);
  for (int bit = 0; bit < 16; ++bit) out((f.Characteristics >> bit) & 1);
  for (int bit = 5; bit < 16; ++bit) out((o.DllCharacteristics >> bit) & 1);
  for (std::uint32_t v : {d.e_magic, d.e_cblp, d.e_cp, d.e_crlc, d.e_cparhdr, d.e_minalloc, d.e_maxalloc, d.e_ss,
                          d.e_sp, d.e_csum, d.e_ip, d.e_cs, d.e_lfarlc, d.e_ovno, d.e_oemid, d.e_oeminfo})
    out(v);
  out(d.e_lfanew);
}

struct SectionFlag {
  const char* name;
  std::uint32_t value;
};
constexpr SectionFlag kSectionFlags[] = {
    {"TYPE_REG", 0x0}, {"TYPE_DSECT", 0x1}, {"TYPE_NOLOAD", 0x2}, {"TYPE_GROUP", 0x4}, {"TYPE_NO_PAD", 0x8},
    {"TYPE_COPY", 0x10}, {"CNT_CODE", 0x20}, {"CNT_INITIALIZED_DATA", 0x40}, {"CNT_UNINITIALIZED_DATA", 0x80},
    {"LNK_OTHER", 0x100}, {"LNK_INFO", 0x200}, {"LNK_OVER", 0x400}, {"LNK_REMOVE", 0x800},
    {"LNK_COMDAT", 0x1000}, {"MEM_PROTECTED", 0x4000}, {"NO_DEFER_SPEC_EXC", 0x4000}, {"GPREL", 0x8000},
    {"MEM_FARDATA", 0x8000}, {"MEM_SYSHEAP", 0x10000}, {"MEM_PURGEABLE", 0x20000}, {"MEM_16BIT", 0x20000},
    {"MEM_LOCKED", 0x40000}, {"MEM_PRELOAD", 0x80000}, {"ALIGN_1BYTES", 0x100000}, {"ALIGN_2BYTES", 0x200000},
    {"ALIGN_4BYTES", 0x300000}, {"ALIGN_8BYTES", 0x400000}, {"ALIGN_16BYTES", 0x500000},
    {"ALIGN_32BYTES", 0x600000}, {"ALIGN_64BYTES", 0x700000}, {"ALIGN_128BYTES", 0x800000},
    {"ALIGN_256BYTES", 0x900000}, {"ALIGN_512BYTES", 0xA00000}, {"ALIGN_1024BYTES", 0xB00000},
    {"ALIGN_2048BYTES", 0xC00000}, {"ALIGN_4096BYTES", 0xD00000}, {"ALIGN_8192BYTES", 0xE00000},
    {"ALIGN_MASK", 0xF00000}, {"LNK_NRELOC_OVFL", 0x1000000}, {"MEM_DISCARDABLE", 0x2000000},
    {"MEM_NOT_CACHED", 0x4000000}, {"MEM_NOT_PAGED", 0x8000000}, {"MEM_SHARED", 0x10000000},
    {"MEM_EXECUTE", 0x20000000}, {"MEM_READ", 0x40000000}, {"MEM_WRITE", 0x80000000}};
constexpr std::uint32_t kExecute = 0x20000000, kRead = 0x40000000, kWrite = 0x80000000;

void sections_group(ByteSpan bytes, const PE& pe, Out& out, FeatureInfo& info) {
  const double file_size = static_cast<double>(bytes.size());
  double overlay_size = 0, overlay_ratio = 0, overlay_entropy = 0;
  if (const auto start = pe.overlay_offset(); start && *start < bytes.size()) {
    overlay_size = static_cast<double>(bytes.size() - *start);
    overlay_ratio = overlay_size / file_size;
    overlay_entropy = byte_entropy(bytes.subspan(static_cast<std::size_t>(*start)));
  }
  info.overlay_size = overlay_size;

  const auto& sections = pe.sections();
  const std::uint32_t entry = pe.optional_header().AddressOfEntryPoint;
  std::string entry_name;
  bool entry_found = false;
  for (const SectionHeader& s : sections)
    if (s.contains_rva(entry)) {
      entry_name = s.clean_name();
      entry_found = true;
    }
  if (!entry_found)
    for (const SectionHeader& s : sections)
      if ((s.Characteristics & kExecute) && !s.clean_name().empty()) {
        entry_name = s.clean_name();
        break;
      }

  FeatureHasher by_size(50, true), by_vsize(50, true), by_entropy(50, true), by_flags(50, true), entry_hash(10, true);
  double zero_size = 0, empty_name = 0, rx = 0, w = 0;
  double max_entropy = std::max(overlay_entropy, 0.0), min_entropy = std::min(overlay_entropy, 0.0);
  double max_ratio = std::max(overlay_ratio, 0.0), min_ratio = std::min(overlay_ratio, 0.0);
  double max_vratio = 0, min_vratio = 0;
  for (const SectionHeader& s : sections) {
    const std::string name = s.clean_name();
    const double size = s.SizeOfRawData, vsize = s.VirtualSize;
    const double entropy = byte_entropy(s.data());
    const double ratio = size / file_size;
    const double vratio = size / std::max(vsize, 1.0);
    zero_size += size == 0;
    empty_name += name.empty();
    rx += (s.Characteristics & kRead) && (s.Characteristics & kExecute);
    w += (s.Characteristics & kWrite) != 0;
    max_entropy = std::max(max_entropy, entropy);
    min_entropy = std::min(min_entropy, entropy);
    max_ratio = std::max(max_ratio, ratio);
    min_ratio = std::min(min_ratio, ratio);
    max_vratio = std::max(max_vratio, vratio);
    min_vratio = std::min(min_vratio, vratio);
    by_size.add(name, size);
    by_vsize.add(name, vsize);
    by_entropy.add(name, entropy);
    for (const SectionFlag& f : kSectionFlags)
      if (s.Characteristics & f.value) by_flags.add(name + ":" + f.name, 1.0);
  }
  entry_hash.add(entry_name, 1.0);
  for (double v : {double(sections.size()), zero_size, empty_name, rx, w, max_entropy, min_entropy, max_ratio,
                   min_ratio, max_vratio, min_vratio})
    out(v);
  out.bins(by_size);
  out.bins(by_vsize);
  out.bins(by_entropy);
  out.bins(by_flags);
  out.bins(entry_hash);
  out(overlay_size);
  out(overlay_ratio);
  out(overlay_entropy);
}

std::string lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

constexpr std::size_t kMaxSymbolName = 10000;

void imports_group(const PE& pe, Out& out, FeatureInfo& info, std::vector<float>& v) {
  const auto& descriptors = pe.imports();
  if (descriptors.empty()) {
    v.resize(v.size() + kImportsCount, 0.0f);
    return;
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> libraries;
  for (const ImportDescriptor& d : descriptors) {
    auto it = std::find_if(libraries.begin(), libraries.end(), [&](const auto& l) { return l.first == d.dll; });
    if (it == libraries.end()) {
      libraries.emplace_back(d.dll, std::vector<std::string>{});
      it = libraries.end() - 1;
    } else {
      it->second.clear();
    }
    for (const ImportSymbol& s : d.symbols) {
      if (s.name && !s.name->empty())
        it->second.push_back(s.name->substr(0, kMaxSymbolName));
      else if (s.by_ordinal)
        it->second.push_back(d.dll + ":ordinal" + std::to_string(s.ordinal));
    }
  }
  std::set<std::string> library_set;
  for (const auto& l : libraries) library_set.insert(lowered(l.first));
  FeatureHasher libs(256, false), functions(1024, false);
  for (const std::string& l : library_set) libs.add(l, 1.0);
  info.imports.clear();
  for (const auto& [dll, names] : libraries) {
    const std::string lib = lowered(dll);
    for (const std::string& f : names) {
      std::string key = lib + ":" + f;
      functions.add(key, 1.0);
      info.imports.push_back(std::move(key));
    }
  }
  out(static_cast<double>(info.imports.size()));
  out(static_cast<double>(library_set.size()));
  out.bins(libs);
  out.bins(functions);
}

void exports_group(const PE& pe, Out& out, std::vector<float>& v) {
  if (!pe.has_exports() || pe.exports().symbols.empty()) {
    v.resize(v.size() + kExportsCount, 0.0f);
    return;
  }
  FeatureHasher h(128, true);
  for (const ExportSymbol& s : pe.exports().symbols) {
    if (s.name && !s.name->empty()) h.add(std::string_view(*s.name).substr(0, kMaxSymbolName), 1.0);
    else h.add("ordinal" + std::to_string(s.ordinal), 1.0);
  }
  out(128);
  out.bins(h);
}

void data_directories_group(const PE& pe, std::vector<float>& v) {
  std::array<double, kDataDirectoriesCount> d{};
  const auto& dirs = pe.data_directories();
  for (std::size_t i = 0; i + 1 < dirs.size(); ++i) {
    const std::size_t k = dirs[i].index;
    if (k >= 16) continue;
    d[2 * k] = dirs[i].Size;
    d[2 * k + 1] = dirs[i].VirtualAddress;
  }
  d[32] = pe.has_base_relocations() ? 1 : 0;
  d[33] = pe.has_load_config() && pe.has_dynamic_relocations() ? 1 : 0;
  for (double x : d) v.push_back(static_cast<float>(x));
}

void rich_group(const PE& pe, Out& out, std::vector<float>& v) {
  const auto& values = pe.rich_values();
  if (!pe.has_rich_header() || values.empty()) {
    v.resize(v.size() + kRichHeaderCount, 0.0f);
    return;
  }
  FeatureHasher h(32, true);
  for (std::size_t i = 0; i + 1 < values.size(); i += 2) h.add(std::to_string(values[i]), values[i + 1]);
  out(static_cast<double>(values.size() / 2));
  out.bins(h);
}

// Warning patterns: 0-76 match by prefix (text before the final "..."), 77-86 by suffix (text after the leading "...").
constexpr std::string_view kWarningPatterns[87] = {
    "AddressOfEntryPoint lies outside the sections' boundaries...",
    "Bad RVA in relocation data...",
    "Byte 0x...",
    "Corrupt header...",
    "Damaged Import Table information...",
    "Don't know how to parse LOAD_CONFIG information for non-PE32...",
    "Error, too many imported symbols...",
    "Error parsing a resource directory data entry...",
    "Error parsing export directory at RVA...",
    "Error parsing resource of type RT_STRING at...",
    "Error parsing StringFileInfo/VarFileInfo struct...",
    "Error parsing the Delay import directory...",
    "Error parsing the Delay import directory at RVA...",
    "Error parsing the import directory at RVA...",
    "Error parsing the import directory. Invalid Import data at RVA...",
    "Error parsing the import table. Entries go beyond bounds...",
    "Error parsing the import table. AddressOfData overlaps with THUNK_DATA for THUNK at RVA...",
    "Error parsing the import table. Invalid data at RVA...",
    "Error parsing the resources directory. Excessively nested table depth...",
    "Error parsing the resources directory. The directory contains...",
    "Error parsing the resources directory. The file contains at least...",
    "Error parsing the resources directory. Entry...",
    "Error parsing the resources directory, attempting to read entry name. Entry names overlap...",
    "Error parsing the resources directory, attempting to read entry name. Can't read unicode string at offset...",
    "Error parsing the version information, attempting to read OffsetToData with RVA...",
    "Error parsing the version information, attempting to read VS_VERSION_INFO string...",
    "Error parsing the version information, attempting to read VarFileInfo Var string...",
    "Error parsing the version information, attempting to read StringFileInfo string...",
    "Error parsing the version information, attempting to read StringTable string...",
    "Error parsing the version information, attempting to read StringTable Key string...",
    "Error parsing the version information, to read StringTable Value string...",
    "Excessive number of imports...",
    "Export directory contains more than 10 repeated entries...",
    "Failed parsing FunctionEntry of UNWIND_INFO at...",
    "Failed rendering pascal string, attempting to read from RVA 0x...",
    "Failed rendering unicode string, attempting to read from RVA 0x...",
    "Failed to process directory...",
    "FunctionEntry of UNWIND_INFO at...",
    "If SectionAlignment...",
    "If FileAlignment > 0x200 it should be a power of 2. Value...",
    "Imported symbols contain entries typical of packed executables...",
    "Invalid bdd dynamic relocation...",
    "Invalid bdd info...",
    "Invalid debug information...",
    "Invalid function override header...",
    "Invalid function override info...",
    "Invalid IMAGE_DYNAMIC_RELOCATION_TABLE information...",
    "Invalid LOAD_CONFIG information...",
    "Invalid relocation information. Can't read...",
    "Invalid relocation information. SizeOfBlock too large...",
    "Invalid relocation information. VirtualAddress outside...",
    "Invalid resources directory. Can't read...",
    "Invalid resources directory. Can't parse directory data at RVA...",
    "Invalid TLS information. Can't read...",
    "Invalid type 0x...",
    "Invalid VS_VERSION_INFO block...",
    "No parsing available for IMAGE_DYNAMIC_RELOCATION_TABLE...",
    "Overlapping offsets in relocation data...",
    "Possibly corrupt file. AddressOfEntryPoint lies outside the file...",
    "Relocating image but PE does not have (or pefile cannot parse) a DIRECTORY_ENTRY_BASERELOC...",
    "Resource size...",
    "Rich Header is malformed...",
    "Rich Header is not in Microsoft format, possibly malformed...",
    "RVA AddressOfFunctions in the export directory points to an invalid...",
    "RVA AddressOfNames in the export directory points to an invalid...",
    "RVA of IMAGE_BOUND_IMPORT_DESCRIPTOR points...",
    "SizeOfHeaders is smaller than AddressOfEntryPoint...",
    "Suspicious flags set for section...",
    "Suspicious NumberOfRvaAndSizes in the Optional Header...",
    "Suspicious value found parsing section...",
    "The Bound Imports directory exists but can't be parsed...",
    "Too many warnings parsing section. Aborting...",
    "Too many errors parsing the Delay import directory...",
    "Too many errors parsing the import directory...",
    "Too many sections...",
    "Unknown UNWIND_CODE at...",
    "Unsupported version of UNWIND_INFO...",
    "...Contents are null-bytes.",
    "...No data in the file (is this corkami's virtsectblXP?).",
    "...PointerToRawData points beyond the end of the file.",
    "...PointerToRawData should normally be a multiple of FileAlignment, this might imply the file is trying to "
    "confuse tools which parse this incorrectly.",
    "...SizeOfRawData is larger than file.",
    "...VirtualSize is extremely large > 256MiB",
    "...VirtualAddress is beyond 0x10000000",
    "...symbol entries. Assuming corrupt.",
    "...ordinal entries. Assuming corrupt.",
    "...Assuming corrupt.",
};
constexpr std::size_t kFirstSuffixPattern = 77;

}  // namespace

int warning_pattern(std::string_view w) {
  int best = -1;
  std::size_t best_len = 0;
  for (std::size_t i = kFirstSuffixPattern; i < std::size(kWarningPatterns); ++i) {
    const std::string_view tail = kWarningPatterns[i].substr(3);
    if ((best < 0 || tail.size() > best_len) && w.ends_with(tail)) {
      best = static_cast<int>(i);
      best_len = tail.size();
    }
  }
  if (best >= 0) return best;
  for (std::size_t i = 0; i < kFirstSuffixPattern; ++i) {
    const std::string_view head = kWarningPatterns[i].substr(0, kWarningPatterns[i].size() - 3);
    if ((best < 0 || head.size() > best_len) && w.starts_with(head)) {
      best = static_cast<int>(i);
      best_len = head.size();
    }
  }
  return best;
}

namespace {

void warnings_group(const PE& pe, std::vector<float>& v) {
  const std::set<std::string> distinct(pe.warnings().begin(), pe.warnings().end());
  std::array<float, 87> hit{};
  for (const std::string& w : distinct)
    if (const int p = warning_pattern(w); p >= 0) hit[static_cast<std::size_t>(p)] = 1.0f;
  float won = 0;
  for (float h : hit) won += h;
  v.insert(v.end(), hit.begin(), hit.end());
  v.push_back(won);
}

}  // namespace

bool extract_pe_groups(ByteSpan bytes, std::span<float> out, FeatureInfo& info) {
  std::vector<float> v;
  v.reserve(kPeGroupsCount);
  FeatureInfo facts;
  try {
    const PE pe(bytes);
    Out put(v);
    header_group(pe, put);
    sections_group(bytes, pe, put, facts);
    imports_group(pe, put, facts, v);
    exports_group(pe, put, v);
    data_directories_group(pe, v);
    rich_group(pe, put, v);
    const AuthenticodeSummary a = authenticode_summary(bytes, pe.file_header().TimeDateStamp);
    for (double x : a.values) put(x);
    warnings_group(pe, v);

    const auto& dirs = pe.data_directories();
    facts.is_pe = true;
    facts.is_dll = (pe.file_header().Characteristics & 0x2000) != 0;
    facts.section_count = static_cast<std::int32_t>(pe.sections().size());
    if (dirs.size() > 14 && dirs[14].VirtualAddress != 0) facts.kind = FileKind::DotNet;
    else facts.kind = pe.optional_header().Magic == PE::kPE32Plus ? FileKind::Win64 : FileKind::Win32;
    facts.is_signed = a.values[AuthenticodeSummary::kSignatureCount] > 0 &&
                      a.values[AuthenticodeSummary::kParseError] == 0;
    facts.signers = a.names;
  } catch (const std::exception&) {
    return false;
  }
  if (v.size() != out.size()) return false;
  std::copy(v.begin(), v.end(), out.begin());
  const double entropy = info.entropy;
  info = std::move(facts);
  info.entropy = entropy;
  return true;
}

}  // namespace ember
