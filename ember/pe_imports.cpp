// The linking directories of ember::PE: imports, delay imports, bound imports
// and exports. Thunk tables stop at 8192 entries per image, at 15 repeated
// values or a 128 MiB address spread, so hostile import chains end early; the
// export walks stop at 8192 distinct entries and at repeated entries.
#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "ember/pe.h"
#include "ember/pe_util.h"

namespace ember {

namespace {

constexpr std::int64_t kMaxImportSymbols = 8192;
constexpr int kMaxRepeatedAddresses = 15;
constexpr std::uint64_t kMaxAddressSpread = 0x8000000;
constexpr std::int64_t kMaxImportNameLength = 512;
constexpr std::int64_t kMaxDllLength = 512;
constexpr std::int64_t kMaxSymbolNameLength = 512;
constexpr std::int64_t kMaxExportSymbols = 8192;
constexpr int kMaxRepeatedSymbol = 120;
constexpr std::int64_t kMaxStringLength = 0x100000;

bool is_alnum(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool only_chars(const std::optional<std::string>& s, std::string_view extra) {
  if (!s) return false;
  for (const char ch : *s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) return false;
    if (!is_alnum(c) && extra.find(ch) == std::string_view::npos) return false;
  }
  return true;
}

bool is_valid_dos_filename(const std::optional<std::string>& s) {
  return only_chars(s, "!#$%&'()-@^_`{}~+,.;=[]:\\/");
}

bool is_valid_function_name(const std::optional<std::string>& s, bool relaxed = false) {
  return only_chars(s, relaxed ? std::string_view("!\"#$%&'()*+,-./:<>?[\\]^_`{|}~@") : std::string_view("._?@$()<>"));
}

bool all_zero(ByteSpan b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

// Printable ASCII as the name checks understand it: letters, digits,
// punctuation and the whitespace characters space, \t, \n, \r, \v, \f.
bool is_printable(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || (c >= 0x09 && c <= 0x0D); }

// Tracks the values of one thunk set: membership and the spread between extremes.
struct ValueSet {
  std::unordered_set<std::uint64_t> seen;
  std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t hi = 0;
  bool insert(std::uint64_t v) {  // true when v was already present
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    return !seen.insert(v).second;
  }
  bool too_wide() const { return !seen.empty() && hi - lo > kMaxAddressSpread; }
};

}  // namespace

// ---------------------------------------------------------------- thunk tables

std::optional<std::vector<std::uint64_t>> PE::import_table(std::int64_t rva, std::optional<std::int64_t> max_length,
                                                           bool addresses) {
  const bool plus = pe_type_ == kPE32Plus;
  const std::int64_t thunk_size = plus ? 8 : 4;
  const std::uint64_t ordinal_flag = plus ? (1ull << 63) : 0x80000000ull;
  const std::int64_t start = rva;
  ValueSet low, high;
  int repeats = 0;
  std::vector<std::uint64_t> table;
  while (rva != 0) {
    if (max_length && rva >= start + *max_length) {
      warn("Error parsing the import table. Entries go beyond bounds.");
      break;
    }
    if (total_import_symbols_ > kMaxImportSymbols) {
      warn("Excessive number of imports " + std::to_string(total_import_symbols_) + " (>" +
           std::to_string(kMaxImportSymbols) + ")");
      break;
    }
    ++total_import_symbols_;
    if (repeats >= kMaxRepeatedAddresses || low.too_wide() || high.too_wide()) return std::vector<std::uint64_t>{};
    ByteSpan raw;
    bool failed = false;
    try {
      raw = data_at_rva(rva, thunk_size);
    } catch (const PEFormatError&) {
      failed = true;
    }
    if (failed || static_cast<std::int64_t>(raw.size()) < thunk_size) {
      warn("Error parsing the import table. Invalid data at RVA: " + hex_signed(rva));
      return std::nullopt;
    }
    std::uint64_t v = plus ? le64(raw, 0) : le32(raw, 0);
    if (addresses && v >= opt_.ImageBase &&
        static_cast<unsigned __int128>(v) < static_cast<unsigned __int128>(opt_.ImageBase) + opt_.SizeOfImage)
      v -= opt_.ImageBase;
    if (v >= static_cast<std::uint64_t>(std::max<std::int64_t>(start, 0)) && start >= 0 &&
        v <= static_cast<std::uint64_t>(rva)) {
      warn("Error parsing the import table. AddressOfData overlaps with THUNK_DATA for THUNK at RVA " + hex_signed(rva));
      break;
    }
    if (v != 0) {
      if (v & ordinal_flag) {
        if ((v & 0x7FFFFFFFull) > 0xFFFF) return std::vector<std::uint64_t>{};
      } else if ((v >> 32) != 0 ? high.insert(v) : low.insert(v)) {
        ++repeats;
      }
    }
    if (all_zero(raw.first(static_cast<std::size_t>(thunk_size)))) break;
    table.push_back(v);
    rva += thunk_size;
  }
  return table;
}

std::vector<ImportSymbol> PE::parse_imports(std::int64_t oft, std::int64_t ft, std::optional<std::int64_t> max_length,
                                            bool addresses) {
  const auto ilt = import_table(oft, max_length, addresses);
  const auto iat = import_table(ft, max_length, addresses);
  if ((!iat || iat->empty()) && (!ilt || ilt->empty())) {
    warn("Damaged Import Table information. ILT and/or IAT appear to be broken. OriginalFirstThunk: " +
         hex_signed(oft) + " FirstThunk: " + hex_signed(ft));
    return {};
  }
  const std::vector<std::uint64_t>& table = (ilt && !ilt->empty()) ? *ilt : *iat;
  const bool plus = pe_type_ == kPE32Plus;
  const std::uint64_t ordinal_flag = plus ? (1ull << 63) : 0x80000000ull;
  const std::uint64_t address_mask = plus ? 0x7FFFFFFFFFFFFFFFull : 0x7FFFFFFFull;
  std::vector<ImportSymbol> symbols;
  std::size_t invalid = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::uint64_t v = table[i];
    ImportSymbol sym;
    sym.thunk = v;
    std::optional<std::uint64_t> ordinal;
    if (v != 0) {
      if (v & ordinal_flag) {
        sym.by_ordinal = true;
        ordinal = v & 0xFFFF;
        sym.ordinal = *ordinal;
      } else {
        try {
          const auto hint_rva = static_cast<std::int64_t>(v & address_mask);
          const ByteSpan hint = data_at_rva(hint_rva, 2);
          sym.hint = le16(hint, 0);
          const auto name_rva = static_cast<std::int64_t>(v) + 2;
          sym.name = string_at_rva(name_rva, kMaxImportNameLength);
          if (!is_valid_function_name(sym.name)) sym.name = "*invalid*";
          offset_from_rva(name_rva);
        } catch (const PEFormatError&) {
        }
      }
    }
    if (!ordinal && !sym.name) throw PEFormatError("Invalid entries, aborting parsing.");
    if (sym.name && *sym.name == "*invalid*") {
      if (invalid > 1000 && invalid == i) throw PEFormatError("Too many invalid names, aborting parsing.");
      ++invalid;
      continue;
    }
    if ((ordinal && *ordinal != 0) || (sym.name && !sym.name->empty())) symbols.push_back(std::move(sym));
  }
  return symbols;
}

// ---------------------------------------------------------------- import directory

std::vector<ImportDescriptor> PE::parse_import_directory(std::int64_t rva) {
  std::vector<ImportDescriptor> out;
  int errors = 0;
  const auto file_size = static_cast<std::int64_t>(data_.size());
  for (;;) {
    try {
      data_at_rva(rva, 20);
    } catch (const PEFormatError&) {
      warn("Error parsing the import directory at RVA: " + hex_signed(rva));
      break;
    }
    const std::int64_t file_offset = offset_from_rva(rva);
    const auto raw = struct_at_rva("IMAGE_IMPORT_DESCRIPTOR", rva, 20);
    if (!raw || all_zero(*raw)) break;
    ImportDescriptor d;
    d.OriginalFirstThunk = le32(*raw, 0);
    d.TimeDateStamp = le32(*raw, 4);
    d.ForwarderChain = le32(*raw, 8);
    d.Name = le32(*raw, 12);
    d.FirstThunk = le32(*raw, 16);
    rva += 20;
    std::int64_t max_len = file_size - file_offset;
    if (rva > d.OriginalFirstThunk || rva > d.FirstThunk)
      max_len = std::max(rva - static_cast<std::int64_t>(d.OriginalFirstThunk), rva - static_cast<std::int64_t>(d.FirstThunk));
    std::vector<ImportSymbol> symbols;
    try {
      symbols = parse_imports(d.OriginalFirstThunk, d.FirstThunk, max_len, false);
    } catch (const PEFormatError& e) {
      warn("Error parsing the import directory. Invalid Import data at RVA: " + hex_signed(rva) + " (" + e.what() + ")");
    }
    if (errors > 5) {
      warn("Too many errors parsing the import directory. Invalid import data at RVA: " + hex_signed(rva));
      break;
    }
    if (symbols.empty()) {
      ++errors;
      continue;
    }
    auto dll = string_at_rva(static_cast<std::int64_t>(d.Name), kMaxDllLength);
    if (!is_valid_dos_filename(dll)) dll = "*invalid*";
    if (!dll->empty()) {
      for (auto& s : symbols) {
        if (!s.name && s.by_ordinal) {
          if (auto n = ordinal_name(*dll, s.ordinal)) s.name = std::move(n);
        }
      }
      d.dll = std::move(*dll);
      d.symbols = std::move(symbols);
      out.push_back(std::move(d));
    }
  }
  std::size_t suspicious = 0, total = 0;
  for (const auto& d : out) {
    for (const auto& s : d.symbols) {
      if (s.name && (s.name->rfind("LoadLibrary", 0) == 0 || s.name->rfind("GetProcAddress", 0) == 0)) ++suspicious;
      ++total;
    }
  }
  if (suspicious == 2 && total < 20) warn("Imported symbols contain entries typical of packed executables.");
  return out;
}

void PE::parse_delay_import_directory(std::int64_t rva) {
  int errors = 0;
  const auto file_size = static_cast<std::int64_t>(data_.size());
  auto normalize = [&](std::uint32_t x) -> std::int64_t {
    if (x >= opt_.ImageBase &&
        static_cast<unsigned __int128>(x) < static_cast<unsigned __int128>(opt_.ImageBase) + opt_.SizeOfImage)
      return static_cast<std::int64_t>(x - opt_.ImageBase);
    return x;
  };
  for (;;) {
    try {
      data_at_rva(rva, 32);
    } catch (const PEFormatError&) {
      warn("Error parsing the Delay import directory at RVA: " + hex_signed(rva));
      break;
    }
    const std::int64_t file_offset = offset_from_rva(rva);
    const auto raw = struct_at_rva("IMAGE_DELAY_IMPORT_DESCRIPTOR", rva, 32);
    if (!raw || all_zero(*raw)) break;
    const std::uint32_t attrs = le32(*raw, 0);
    std::int64_t name = le32(*raw, 4);
    std::int64_t iat = le32(*raw, 12);
    std::int64_t intable = le32(*raw, 16);
    bool addresses = false;
    if (attrs == 0 && file_.Machine == 0x14C) {
      name = normalize(static_cast<std::uint32_t>(name));
      iat = normalize(static_cast<std::uint32_t>(iat));
      intable = normalize(static_cast<std::uint32_t>(intable));
      addresses = true;
    }
    rva += 32;
    std::int64_t max_len = file_size - file_offset;
    if (rva > intable || rva > iat) max_len = std::max(rva - intable, rva - iat);
    std::vector<ImportSymbol> symbols;
    try {
      symbols = parse_imports(intable, iat, max_len, addresses);
    } catch (const PEFormatError& e) {
      warn("Error parsing the Delay import directory. Invalid import data at RVA: " + hex_signed(rva) + " (" + e.what() +
           ")");
    }
    if (errors > 5) {
      warn("Too many errors parsing the Delay import directory. Invalid import data at RVA: " + hex_signed(rva));
      break;
    }
    if (symbols.empty()) {
      ++errors;
      continue;
    }
    if (total_import_symbols_ > kMaxImportSymbols) {
      warn("Error, too many imported symbols " + std::to_string(total_import_symbols_) + " (>" +
           std::to_string(kMaxImportSymbols) + ")");
      break;
    }
    // The library name is read for its side effects on the checks only: delay
    // imports are not kept.
    string_at_rva(name, kMaxDllLength);
  }
}

void PE::parse_bound_imports(std::int64_t rva) {
  const auto file_size = static_cast<std::int64_t>(data_.size());
  const std::int64_t start = rva;
  // True when the NUL-terminated name at file offset `offset` is acceptable:
  // at most 256 bytes of printable characters. Sets *empty for an empty name.
  auto name_ok = [&](std::int64_t offset, bool* empty) {
    const ByteSpan b = slice(offset, offset + 257);
    std::size_t n = 0;
    while (n < b.size() && b[n] != 0) ++n;
    if (empty) *empty = n == 0;
    if (n > 256) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (!is_printable(b[i])) return false;
    return true;
  };
  for (;;) {
    const auto descr = read_struct("IMAGE_BOUND_IMPORT_DESCRIPTOR", rva, 8);
    if (!descr) {
      warn("The Bound Imports directory exists but can't be parsed.");
      return;
    }
    if (all_zero(*descr)) break;
    const std::uint16_t module_name = le16(*descr, 4);
    const std::uint16_t refs = le16(*descr, 6);
    rva += 8;
    const SectionHeader* section = section_by_offset(rva);
    const std::int64_t file_offset = offset_from_rva(rva);
    std::int64_t boundary = 0;
    if (!section) {
      boundary = file_size - file_offset;
      std::optional<std::int64_t> next;
      for (const auto& s : sections_)
        if (s.PointerToRawData > file_offset && (!next || s.PointerToRawData < *next)) next = s.PointerToRawData;
      if (next) {
        section = section_by_offset(*next);
        if (section) boundary = section->PointerToRawData - file_offset;
      }
    } else {
      boundary = static_cast<std::int64_t>(section->PointerToRawData) +
                 static_cast<std::int64_t>(section->data().size()) - file_offset;
    }
    if (!section) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "RVA of IMAGE_BOUND_IMPORT_DESCRIPTOR points to an invalid address: %llx",
                    static_cast<unsigned long long>(rva));
      warn(buf);
      return;
    }
    const std::int64_t count = std::min<std::int64_t>(refs, boundary / 8);
    for (std::int64_t k = 0; k < count; ++k) {
      const auto ref = read_struct("IMAGE_BOUND_FORWARDER_REF", rva, 8);
      if (!ref) throw PEFormatError("IMAGE_BOUND_FORWARDER_REF cannot be read");
      rva += 8;
      if (!name_ok(start + le16(*ref, 4), nullptr)) break;
    }
    bool empty = false;
    if (!name_ok(start + module_name, &empty) || empty) break;
  }
}

// ---------------------------------------------------------------- exports

bool PE::parse_export_directory(std::int64_t rva, std::int64_t size) {
  ExportDirectory dir;
  std::optional<ByteSpan> raw;
  try {
    raw = struct_at_rva("IMAGE_EXPORT_DIRECTORY", rva, 40);
  } catch (const PEFormatError&) {
    warn("Error parsing export directory at RVA: " + hex_signed(rva));
    return false;
  }
  if (!raw) return false;
  dir.Characteristics = le32(*raw, 0);
  dir.TimeDateStamp = le32(*raw, 4);
  dir.MajorVersion = le16(*raw, 8);
  dir.MinorVersion = le16(*raw, 10);
  dir.Name = le32(*raw, 12);
  dir.Base = le32(*raw, 16);
  dir.NumberOfFunctions = le32(*raw, 20);
  dir.NumberOfNames = le32(*raw, 24);
  dir.AddressOfFunctions = le32(*raw, 28);
  dir.AddressOfNames = le32(*raw, 32);
  dir.AddressOfNameOrdinals = le32(*raw, 36);
  const bool directory_all_zero = all_zero(*raw);

  const auto file_size = static_cast<std::int64_t>(data_.size());
  ByteSpan names, name_ordinals, functions;
  try {
    auto until_eof = [&](std::int64_t a) { return file_size - offset_from_rva(a); };
    names = data_at_rva(dir.AddressOfNames, std::min<std::int64_t>(until_eof(dir.AddressOfNames),
                                                                   static_cast<std::int64_t>(dir.NumberOfNames) * 4));
    name_ordinals = data_at_rva(dir.AddressOfNameOrdinals,
                                std::min<std::int64_t>(until_eof(dir.AddressOfNameOrdinals),
                                                       static_cast<std::int64_t>(dir.NumberOfNames) * 4));
    functions = data_at_rva(dir.AddressOfFunctions,
                            std::min<std::int64_t>(until_eof(dir.AddressOfFunctions),
                                                   static_cast<std::int64_t>(dir.NumberOfFunctions) * 4));
  } catch (const PEFormatError&) {
    warn("Error parsing export directory at RVA: " + hex_signed(rva));
    return false;
  }
  auto word_at = [](ByteSpan b, std::int64_t i) -> std::optional<std::uint32_t> {
    if ((i + 1) * 2 > static_cast<std::int64_t>(b.size())) return std::nullopt;
    return le16(b, static_cast<std::size_t>(i * 2));
  };
  auto dword_at = [](ByteSpan b, std::int64_t i) -> std::optional<std::uint32_t> {
    if ((i + 1) * 4 > static_cast<std::int64_t>(b.size())) return std::nullopt;
    return le32(b, static_cast<std::size_t>(i * 4));
  };
  auto boundary_for = [&](std::uint32_t array_rva) -> std::int64_t {
    if (const SectionHeader* s = section_by_rva(array_rva))
      return static_cast<std::int64_t>(s->VirtualAddress) + static_cast<std::int64_t>(s->data().size()) - array_rva;
    return file_size;
  };
  // Forwarder strings may be long; each distinct address is read once.
  std::unordered_map<std::uint32_t, std::optional<std::string>> forwarder_cache;
  auto forwarder_at = [&](std::uint32_t address) -> const std::optional<std::string>& {
    auto it = forwarder_cache.find(address);
    if (it == forwarder_cache.end()) it = forwarder_cache.emplace(address, string_at_rva(address, kMaxStringLength)).first;
    return it->second;
  };
  auto inside_directory = [&](std::int64_t a) { return a >= rva && a < rva + size; };

  std::vector<ExportSymbol> exports;
  {
    int failures_left = 10;
    bool normal = true;
    std::map<std::pair<std::string, std::uint32_t>, int> counts;
    const std::int64_t n = std::min<std::int64_t>(dir.NumberOfNames, boundary_for(dir.AddressOfNames) / 4);
    for (std::int64_t i = 0; i < n; ++i) {
      const auto k = word_at(name_ordinals, i);
      if (!k || static_cast<std::int64_t>(*k) * 4 >= static_cast<std::int64_t>(functions.size())) return false;
      const auto address = dword_at(functions, *k);
      if (!address || *address == 0) continue;
      std::optional<std::string> forwarder;
      if (inside_directory(*address)) {
        forwarder = forwarder_at(*address);
        try {
          offset_from_rva(*address);
        } catch (const PEFormatError&) {
          continue;
        }
      }
      const auto name_rva = dword_at(names, i);
      if (!name_rva) {
        if (--failures_left <= 0) { normal = false; break; }
      }
      std::optional<std::string> name;
      if (name_rva) name = string_at_rva(static_cast<std::int64_t>(*name_rva), kMaxSymbolNameLength);
      if (!is_valid_function_name(name, true)) { normal = false; break; }
      bool skip = false;
      try {
        offset_from_rva(*name_rva);
      } catch (const PEFormatError&) {
        // A second identical attempt fails the same way and costs another failure.
        if (--failures_left <= 0) { normal = false; break; }
        if (--failures_left <= 0) { normal = false; break; }
        skip = true;
      }
      if (skip) continue;
      int& c = counts[{*name, *address}];
      ++c;
      if (c > 10) {
        warn("Export directory contains more than 10 repeated entries (" + *name + ", " + hex_signed(*address) +
             "). Assuming corrupt.");
        break;
      }
      if (static_cast<std::int64_t>(counts.size()) > kMaxExportSymbols) {
        warn("Export directory contains more than " + std::to_string(kMaxExportSymbols) +
             " symbol entries. Assuming corrupt.");
        break;
      }
      exports.push_back(ExportSymbol{name, dir.Base + *k, *address, forwarder});
    }
    if (!normal)
      warn("RVA AddressOfNames in the export directory points to an invalid address: " + hex_signed(dir.AddressOfNames));
  }
  {
    std::unordered_set<std::uint32_t> produced;
    for (const auto& e : exports) produced.insert(e.ordinal);
    int failures_left = 10;
    bool normal = true;
    std::unordered_map<std::int64_t, int> counts;  // -1 stands for a missing address
    const std::int64_t n = std::min<std::int64_t>(dir.NumberOfFunctions, boundary_for(dir.AddressOfFunctions) / 4);
    for (std::int64_t idx = 0; idx < n; ++idx) {
      const std::uint32_t ordinal = dir.Base + static_cast<std::uint32_t>(idx);
      if (produced.count(ordinal)) continue;
      const auto address = dword_at(functions, idx);
      if (!address) {
        if (--failures_left <= 0) { normal = false; break; }
      }
      if (address && *address == 0) continue;
      std::optional<std::string> forwarder;
      if (address && inside_directory(*address)) forwarder = forwarder_at(*address);
      const std::int64_t key = address ? static_cast<std::int64_t>(*address) : -1;
      int& c = counts[key];
      ++c;
      if (c > kMaxRepeatedSymbol) {
        warn("Export directory contains more than " + std::to_string(kMaxRepeatedSymbol) + " repeated ordinal entries (" +
             hex_signed(address ? *address : 0) + "). Assuming corrupt.");
        break;
      }
      if (static_cast<std::int64_t>(counts.size()) > kMaxExportSymbols) {
        warn("Export directory contains more than " + std::to_string(kMaxExportSymbols) +
             " ordinal entries. Assuming corrupt.");
        break;
      }
      exports.push_back(ExportSymbol{std::nullopt, ordinal, address ? *address : 0, forwarder});
    }
    if (!normal) {
      warn("RVA AddressOfFunctions in the export directory points to an invalid address: " +
           hex_signed(dir.AddressOfFunctions));
      return false;
    }
  }
  if (exports.empty() && directory_all_zero) return false;
  dir.name = string_at_rva(static_cast<std::int64_t>(dir.Name));
  dir.symbols = std::move(exports);
  exports_ = std::move(dir);
  return true;
}

}  // namespace ember
