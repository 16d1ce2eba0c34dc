// Base relocations, debug, TLS, load configuration with its dynamic
// relocations, the exception directory and the Rich header of ember::PE.
// Only presence flags, the Rich values and warnings remain afterwards. Every
// walk advances through the image and ends at the first unreadable structure,
// so its length is bounded by the readable bytes.
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "ember/pe.h"
#include "ember/pe_util.h"

namespace ember {

namespace {

struct UnwindInfoRecord {
  bool finished = false;
  bool has_function_entry = false;
  std::uint32_t function_entry = 0;
  bool epilog_seen = false;
  bool chained = false;
};

struct RuntimeFunctionEntry {
  std::uint32_t BeginAddress = 0;
  std::int64_t file_offset = 0;
  std::uint32_t UnwindData = 0;
  bool has_unwind_info = false;
};

// Checks one UNWIND_INFO; returns a warning text, empty when there is none.
std::string unpack_unwind_info(UnwindInfoRecord& rec, ByteSpan b, std::int64_t file_offset) {
  if (rec.finished) return {};
  if (b.size() < 4) throw PEFormatError("Data length less than expected header length.");
  const unsigned version = b[0] & 7u;
  const unsigned flags = b[0] >> 3;
  const unsigned codes = b[2];
  const std::size_t handler = 4 + 2 * ((codes + 1) & ~1u);
  const std::size_t full = handler + (flags != 0 ? 4 : 0);
  if (b.size() < full) return {};
  if (version != 1 && version != 2) return "Unsupported version of UNWIND_INFO at " + hex_signed(file_offset);
  std::size_t p = 4;
  std::int64_t left = codes;
  while (left > 0) {
    if (b.size() < p + 2) throw PEFormatError("Data length less than expected header length.");
    const unsigned op = b[p + 1] & 0xFu;
    const unsigned info = b[p + 1] >> 4;
    int slots = 1;
    std::size_t bytes = 2;
    switch (op) {
      case 0: case 2: case 3: case 10: break;
      case 1:
        if (info == 0) { slots = 2; bytes = 4; } else { slots = 3; bytes = 6; }
        break;
      case 4: case 8: slots = 2; bytes = 4; break;
      case 5: case 9: slots = 3; bytes = 6; break;
      case 6:
        if (!rec.epilog_seen && (info & 1u) == 0) { slots = 2; bytes = 4; }
        rec.epilog_seen = true;
        break;
      default:
        return "Unknown UNWIND_CODE at " + hex_signed(file_offset + static_cast<std::int64_t>(p));
    }
    if (b.size() - p < bytes) throw PEFormatError("Data length less than expected header length.");
    p += bytes;
    left -= slots;
  }
  if (flags & 4u) {
    rec.has_function_entry = true;
    rec.function_entry = le32(b, handler);
  }
  rec.finished = true;
  return {};
}

constexpr std::uint8_t kLoadConfigWidths32[52] = {4, 4, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 4, 4,
                                                  4, 4, 4, 4, 4, 4, 4, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 4,
                                                  4, 4, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
constexpr std::uint8_t kLoadConfigWidths64[52] = {4, 4, 2, 2, 4, 4, 4, 8, 8, 8, 8, 8, 8, 4, 2, 2, 8, 8,
                                                  8, 8, 8, 8, 8, 8, 4, 2, 2, 4, 4, 8, 8, 8, 8, 8, 8, 8,
                                                  8, 4, 2, 2, 8, 4, 4, 8, 8, 8, 8, 8, 8, 8, 8, 8};

}  // namespace

// ---------------------------------------------------------------- base relocations

bool PE::parse_base_relocations(std::int64_t rva, std::int64_t size, int mode) {
  const std::int64_t end = rva + size;
  int blocks = 0;
  while (rva < end) {
    ByteSpan raw;
    try {
      raw = data_at_rva(rva, 8);
    } catch (const PEFormatError&) {
      warn("Invalid relocation information. Can't read data at RVA: " + hex_signed(rva));
      break;
    }
    const std::int64_t offset = offset_from_rva(rva);
    if (raw.size() < 8) {
      warn("Corrupt header \"IMAGE_BASE_RELOCATION\" at file offset " + std::to_string(offset) +
           ". Exception: Data length less than expected header length.");
      break;
    }
    const std::uint32_t va = le32(raw, 0);
    const std::uint32_t block_size = le32(raw, 4);
    if (va > opt_.SizeOfImage) {
      warn("Invalid relocation information. VirtualAddress outside of Image: " + hex_signed(va));
      break;
    }
    if (block_size > opt_.SizeOfImage) {
      warn("Invalid relocation information. SizeOfBlock too large: " + std::to_string(block_size));
      break;
    }
    parse_relocation_entries(rva + 8, va, static_cast<std::int64_t>(block_size) - 8, mode);
    ++blocks;
    if (block_size == 0) break;
    rva += block_size;
  }
  return blocks > 0;
}

void PE::parse_relocation_entries(std::int64_t data_rva, std::int64_t page_rva, std::int64_t length, int mode) {
  ByteSpan data;
  try {
    data = data_at_rva(data_rva, length);
    offset_from_rva(data_rva);
  } catch (const PEFormatError&) {
    warn("Bad RVA in relocation data: " + hex_signed(data_rva));
    return;
  }
  const std::size_t entry_size = mode == 3 ? 4 : 2;
  const std::size_t n = data.size() / entry_size;
  std::unordered_set<std::uint32_t> seen;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t w = le16(data, i * entry_size);
    const std::uint32_t offset = w & 0xFFFu;
    const std::uint32_t key = mode == 0 ? (offset | (static_cast<std::uint32_t>(w >> 12) << 16)) : offset;
    if (!seen.insert(key).second) {
      warn("Overlapping offsets in relocation data at RVA: " + hex_signed(offset + page_rva));
      return;
    }
  }
}

// ---------------------------------------------------------------- debug, TLS

void PE::parse_debug_directory(std::int64_t rva, std::int64_t size) {
  const auto file_size = static_cast<std::int64_t>(data_.size());
  for (std::int64_t i = 0; i < size / 28; ++i) {
    std::optional<ByteSpan> raw;
    try {
      raw = struct_at_rva("IMAGE_DEBUG_DIRECTORY", rva + 28 * i, 28);
    } catch (const PEFormatError&) {
      warn("Invalid debug information. Can't read data at RVA: " + hex_signed(rva));
      break;
    }
    if (!raw) break;
    const std::uint32_t type = le32(*raw, 12);
    const std::int64_t size_of_data = le32(*raw, 16);
    const std::int64_t pointer = le32(*raw, 24);
    const ByteSpan payload = slice(pointer, std::min(file_size, pointer + size_of_data));
    auto check = [&](const char* name, std::int64_t needed) {
      if (static_cast<std::int64_t>(payload.size()) >= needed) return true;
      warn(std::string("Corrupt header \"") + name + "\" at file offset " + std::to_string(pointer) +
           ". Exception: Data length less than expected header length.");
      return false;
    };
    switch (type) {
      case 2:
        if (payload.size() >= 4) {
          if (std::equal(payload.begin(), payload.begin() + 4, "RSDS"))
            check("CV_INFO_PDB70", size_of_data <= 24 ? 24 : size_of_data);
          else if (std::equal(payload.begin(), payload.begin() + 4, "NB10"))
            check("CV_INFO_PDB20", size_of_data <= 16 ? 16 : size_of_data);
        }
        break;
      case 4:
        if (check("IMAGE_DEBUG_MISC", 12) && payload[8] <= 1)
          check("IMAGE_DEBUG_MISC", size_of_data <= 12 ? 12 : size_of_data);
        break;
      case 20:
        if (!check("IMAGE_DEBUG_EX_DLLCHARACTERISTICS", 4)) throw NotPE("ExDllCharacteristics of None");
        break;
      default:
        break;
    }
  }
}

void PE::parse_tls_directory(std::int64_t rva) {
  try {
    struct_at_rva("IMAGE_TLS_DIRECTORY", rva, pe_type_ == kPE32Plus ? 40 : 24);
  } catch (const PEFormatError&) {
    warn("Invalid TLS information. Can't read data at RVA: " + hex_signed(rva));
  }
}

// ---------------------------------------------------------------- load configuration

bool PE::parse_load_config(std::int64_t rva) {
  if (pe_type_ != kPE32 && pe_type_ != kPE32Plus) {
    warn("Don't know how to parse LOAD_CONFIG information for non-PE32/PE32+ file");
    return false;
  }
  const bool plus = pe_type_ == kPE32Plus;
  const std::uint8_t* widths = plus ? kLoadConfigWidths64 : kLoadConfigWidths32;
  const auto declared = dword_at_rva(rva);
  int fields = 0;
  std::size_t size = 0;
  while (fields < 52) {
    size += widths[fields];
    ++fields;
    if (declared && size == *declared) break;
  }
  std::optional<ByteSpan> raw;
  try {
    raw = struct_at_rva("IMAGE_LOAD_CONFIG_DIRECTORY", rva, size);
  } catch (const PEFormatError&) {
    warn("Invalid LOAD_CONFIG information. Can't read data at RVA: " + hex_signed(rva));
    return false;
  }
  if (!raw) return false;
  if (fields > 35) {
    if (fields <= 38) throw NotPE("load config without DynamicValueRelocTableOffset");
    const std::uint32_t table_offset = le32(*raw, plus ? 224 : 136);
    const std::uint16_t table_section = le16(*raw, plus ? 228 : 140);
    const auto symbols = parse_dynamic_relocations(table_offset, table_section);
    has_dynamic_relocations_ = symbols && !symbols->empty();
  }
  return true;
}

std::optional<std::vector<std::uint64_t>> PE::parse_dynamic_relocations(std::int64_t offset, std::uint32_t section) {
  if (offset == 0 || section == 0 || section > sections_.size()) return std::nullopt;
  const std::int64_t rva = static_cast<std::int64_t>(sections_[section - 1].VirtualAddress) + offset;
  std::optional<ByteSpan> header;
  try {
    header = struct_at_rva("IMAGE_DYNAMIC_RELOCATION_TABLE", rva, 8);
  } catch (const PEFormatError&) {
    warn("Invalid IMAGE_DYNAMIC_RELOCATION_TABLE information. Can't read data at RVA: " + hex_signed(rva));
    return std::nullopt;
  }
  if (!header) throw NotPE("dynamic relocation table is None");
  const std::uint32_t version = le32(*header, 0);
  const std::int64_t table_size = le32(*header, 4);
  if (version != 1) {
    warn("No parsing available for IMAGE_DYNAMIC_RELOCATION_TABLE.Version = " + std::to_string(version));
    return std::nullopt;
  }
  const bool plus = pe_type_ == kPE32Plus;
  const std::size_t header_size = plus ? 12 : 8;
  std::vector<std::uint64_t> symbols;
  const std::int64_t end = rva + 8 + table_size;
  for (std::int64_t entry = rva + 8; entry < end;) {
    std::optional<ByteSpan> raw;
    try {
      raw = struct_at_rva("IMAGE_DYNAMIC_RELOCATION", entry, header_size);
    } catch (const PEFormatError&) {
      warn("Invalid relocation information. Can't read data at RVA: " + hex_signed(entry));
      break;
    }
    if (!raw) break;
    const std::uint64_t symbol = plus ? le64(*raw, 0) : le32(*raw, 0);
    const std::int64_t reloc_size = le32(*raw, plus ? 8 : 4);
    const std::int64_t block = entry + static_cast<std::int64_t>(header_size);
    if (symbol >= 3 && symbol <= 5) parse_base_relocations(block, reloc_size, static_cast<int>(symbol));
    else if (symbol == 7) parse_function_override(block);
    else if (symbol > 5) parse_base_relocations(block, reloc_size, 0);
    if (symbol >= 3) symbols.push_back(symbol);
    entry = block + reloc_size;
  }
  return symbols;
}

void PE::parse_function_override(std::int64_t rva) {
  const auto header = struct_at_rva("IMAGE_FUNCTION_OVERRIDE_HEADER", rva, 4);
  if (!header) {
    warn("Invalid function override header. Can't read data at RVA: " + hex_signed(rva));
    return;
  }
  const std::int64_t end = rva + 4 + le32(*header, 0);
  std::int64_t pos = rva + 4;
  while (pos < end) {
    const auto entry = struct_at_rva("IMAGE_FUNCTION_OVERRIDE_DYNAMIC_RELOCATION", pos, 16);
    if (!entry) {
      warn("Invalid function override info. Can't read data at RVA: " + hex_signed(pos));
      return;
    }
    const std::int64_t rva_size = le32(*entry, 8);
    const std::int64_t reloc_size = le32(*entry, 12);
    pos += 16;
    for (std::int64_t k = 0; k < rva_size / 4; ++k) {
      if (data_at_rva(pos, 4).size() < 4) throw NotPE("struct.error in function override");
      pos += 4;
    }
    parse_base_relocations(pos, reloc_size, 0);
    pos += reloc_size;
  }
  const auto bdd = struct_at_rva("IMAGE_BDD_INFO", pos, 8);
  if (!bdd) {
    warn("Invalid bdd info. Can't read data at RVA: " + hex_signed(pos));
    return;
  }
  const std::int64_t bdd_size = le32(*bdd, 4);
  pos += 8;
  for (std::int64_t k = 0; k < bdd_size / 8; ++k) {
    if (!struct_at_rva("IMAGE_BDD_DYNAMIC_RELOCATION", pos, 8)) {
      warn("Invalid bdd dynamic relocation. Can't read data at RVA: " + hex_signed(pos));
      return;
    }
    pos += 8;
  }
}

// ---------------------------------------------------------------- exceptions

void PE::parse_exception_directory(std::int64_t rva, std::int64_t size) {
  if (file_.Machine != 0x8664 && file_.Machine != 0x200) return;
  std::unordered_map<std::uint32_t, UnwindInfoRecord> records;
  std::unordered_map<std::uint32_t, std::size_t> by_begin;
  std::vector<RuntimeFunctionEntry> entries;
  const std::int64_t n = size / 12;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t entry_rva = rva + 12 * i;
    const auto raw = struct_at_rva("RUNTIME_FUNCTION", entry_rva, 12);
    if (!raw) break;
    RuntimeFunctionEntry e;
    e.BeginAddress = le32(*raw, 0);
    e.UnwindData = le32(*raw, 8);
    e.file_offset = offset_from_rva(entry_rva);
    if ((e.UnwindData & 1u) == 0) {
      const std::int64_t unwind_offset = offset_from_rva(e.UnwindData);
      UnwindInfoRecord& rec = records[e.UnwindData];
      const ByteSpan first = data_at_rva(e.UnwindData, 4);
      std::string w = unpack_unwind_info(rec, first, unwind_offset);
      if (!w.empty()) {
        warn(std::move(w));
        break;
      }
      std::int64_t need = 4;
      if (!rec.finished && first.size() >= 4)
        need = (first[0] < 8 ? 0 : 4) + 4 + 2 * ((static_cast<std::int64_t>(first[2]) + 1) & ~std::int64_t{1});
      w = unpack_unwind_info(rec, data_at_rva(e.UnwindData, need), unwind_offset);
      if (!w.empty()) {
        warn(std::move(w));
        break;
      }
      e.has_unwind_info = true;
    }
    by_begin[e.BeginAddress] = entries.size();
    entries.push_back(e);
  }
  for (const auto& e : entries) {
    if (!e.has_unwind_info) continue;
    UnwindInfoRecord& rec = records[e.UnwindData];
    if (!rec.has_function_entry) continue;
    char buf[160];
    if (!by_begin.count(rec.function_entry)) {
      std::snprintf(buf, sizeof buf, "FunctionEntry of UNWIND_INFO at %llx points to an entry that does not exist",
                    static_cast<unsigned long long>(e.file_offset));
      warn(buf);
    } else if (!rec.chained) {
      rec.chained = true;
    } else {
      std::snprintf(buf, sizeof buf,
                    "Failed parsing FunctionEntry of UNWIND_INFO at %llx: Chained function entry cannot be changed",
                    static_cast<unsigned long long>(e.file_offset));
      warn(buf);
    }
  }
}

// ---------------------------------------------------------------- Rich header

void PE::parse_rich_header() {
  constexpr std::uint32_t kRich = 0x68636952;
  const auto a = static_cast<std::int64_t>(opt_.file_offset);
  const auto file_size = static_cast<std::int64_t>(data_.size());
  if (a < 132) return;
  std::int64_t found = -1;
  for (std::int64_t i = 128; i + 4 <= a && i + 4 <= file_size; ++i) {
    if (data_[static_cast<std::size_t>(i)] == 'R' && data_[static_cast<std::size_t>(i + 1)] == 'i' &&
        data_[static_cast<std::size_t>(i + 2)] == 'c' && data_[static_cast<std::size_t>(i + 3)] == 'h') {
      found = i;
      break;
    }
  }
  if (found < 0) return;
  const ByteSpan block = slice(128, std::min(found + 8, file_size));
  std::vector<std::uint32_t> d(block.size() / 4);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = le32(block, i * 4);
  std::size_t k = 0;
  while (k < d.size() && d[k] != kRich) ++k;
  if (k == d.size()) return;
  if (k + 1 >= d.size() || d.size() < 4) throw NotPE("rich header IndexError");
  const std::uint32_t key = d[k + 1];
  if ((key ^ d[0]) != 0x536E6144 || d[1] != key || d[2] != key || d[3] != key)
    warn("Rich Header is not in Microsoft format, possibly malformed");
  has_rich_header_ = true;
  for (std::size_t j = 0; j < (d.size() - 4) / 2; ++j) {
    if (d[4 + 2 * j] == kRich) {
      if (d[5 + 2 * j] != key) warn("Rich Header is malformed");
      break;
    }
    rich_values_.push_back(d[4 + 2 * j] ^ key);
    rich_values_.push_back(d[5 + 2 * j] ^ key);
  }
}

}  // namespace ember
