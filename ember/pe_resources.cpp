// The resource tree and version information of ember::PE. The walk keeps
// nothing but its warnings; depth (32), per-directory entries (4096), total
// entries (32768), a visited list against cycles and per-loop iteration caps
// (100000) keep hostile trees bounded.
#include <algorithm>
#include <cstring>
#include <memory>

#include "ember/pe.h"
#include "ember/pe_util.h"

namespace ember {

namespace {

constexpr int kMaxResourceDepth = 32;
constexpr std::int64_t kMaxEntriesPerDirectory = 4096;
constexpr std::int64_t kMaxResourceEntries = 32768;
constexpr int kMaxLoop = 100000;
constexpr std::int64_t kDefaultUnicodeMax = 65536;

std::int64_t dword_align(std::int64_t offset, std::int64_t base) {
  return ((offset + base + 3) & 0xFFFFFFFCll) - (base & 0xFFFFFFFCll);
}

// Length of the string's UTF-8 rendering, counting a lone surrogate unit as
// its six-character escape.
std::int64_t rendered_length(const std::u16string& s) {
  std::int64_t n = 0;
  for (const char16_t c : s) {
    if (c < 0x80) n += 1;
    else if (c < 0x800) n += 2;
    else if (c >= 0xD800 && c <= 0xDFFF) n += 6;
    else n += 3;
  }
  return n;
}

bool starts_with(const std::u16string& s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && std::u16string_view(s).substr(0, prefix.size()) == prefix;
}

// First index >= from where two zero bytes follow each other, or -1.
std::int64_t find_double_nul(ByteSpan b, std::int64_t from) {
  const auto n = static_cast<std::int64_t>(b.size());
  for (std::int64_t i = std::max<std::int64_t>(from, 0); i + 1 < n;) {
    const void* p = std::memchr(b.data() + i, 0, static_cast<std::size_t>(n - 1 - i));
    if (!p) return -1;
    i = static_cast<const std::uint8_t*>(p) - b.data();
    if (b[static_cast<std::size_t>(i + 1)] == 0) return i;
    ++i;
  }
  return -1;
}

}  // namespace

struct PE::ResourceDirectory {
  struct Entry {
    std::uint32_t name = 0;
    std::uint32_t offset_to_data = 0;
    bool is_id = false;
    std::unique_ptr<ResourceDirectory> directory;
    bool has_data = false;
    std::uint32_t data_rva = 0;
    std::uint32_t data_size = 0;
  };
  std::vector<Entry> entries;
};

void PE::parse_resources(std::int64_t rva) {
  std::vector<std::int64_t> visited;
  parse_resources_directory(rva, rva, 0, visited);
}

// ---------------------------------------------------------------- strings

std::int64_t PE::aligned_double_nul(std::int64_t x) {
  const auto size = static_cast<std::int64_t>(data_.size());
  auto& runs = nul_runs_[x & 1];
  auto next = runs.upper_bound(x);
  if (next != runs.begin()) {
    const auto prev = std::prev(next);
    if (prev->first <= x && x <= prev->second) return prev->second;
  }
  const std::int64_t stop = next == runs.end() ? size : next->first;
  std::int64_t found = size;
  std::int64_t y = x;
  for (; y + 1 < size; y += 2) {
    if (y == stop) break;
    if (data_[static_cast<std::size_t>(y)] == 0 && data_[static_cast<std::size_t>(y + 1)] == 0) break;
  }
  if (y + 1 < size && y == stop && next != runs.end()) {
    found = next->second;  // joined a stretch scanned before
    runs.erase(next);
  } else if (y + 1 < size) {
    found = y;
  }
  runs.emplace(x, found);
  return found;
}

ByteSpan PE::unicode_span(std::int64_t rva, std::int64_t max_chars, Bytes& copy) {
  if (max_chars == 0) return {};
  data_at_rva(rva, 2);
  const std::int64_t m = 2 * max_chars;
  std::int64_t requested = std::min<std::int64_t>(m, 256);
  auto decode = [](ByteSpan data, std::int64_t count) { return data.first(static_cast<std::size_t>(2 * count)); };
  auto in_file = [&](ByteSpan v) {
    return v.empty() || (v.data() >= data_.data() && v.data() + v.size() <= data_.data() + data_.size());
  };
  // Strings of at most 128 KiB that lie in the file use the remembered scans;
  // the iteration cap below cannot bind for them.
  if (m <= (1 << 18)) {
    const ByteSpan first = data_at_rva(rva, requested);
    if (!first.empty() && in_file(first)) {
      const std::int64_t at = first.data() - data_.data();
      const auto len = static_cast<std::int64_t>(first.size());
      const std::int64_t p = aligned_double_nul(at);
      if (p + 1 < at + len) return decode(first, (p - at) / 2);
      if (len < requested || len == m) return decode(first, len / 2);
      const ByteSpan more = data_at_rva(rva + len, m - len);
      if (more.empty() || more.data() == first.data() + first.size()) {
        const ByteSpan full(first.data(), first.size() + more.size());
        const std::int64_t q = aligned_double_nul(at + requested);
        if (q + 1 < at + static_cast<std::int64_t>(full.size())) return decode(full, (q - at) / 2);
        return decode(full, static_cast<std::int64_t>(full.size()) / 2);
      }
    }
  }
  // The string's bytes: a view of the input while the chunks read are
  // adjacent in it (the usual case), a copy otherwise.
  ByteSpan view = data_at_rva(rva, requested);
  bool copied = false;
  std::int64_t n = -1;
  std::int64_t count = -1;
  for (int iter = 0; iter < kMaxLoop; ++iter) {
    const std::int64_t p = find_double_nul(view, n + 1);
    if (p >= 0) {
      if (p % 2 == 0) { count = p / 2; break; }
      n = p;
      continue;
    }
    const auto len = static_cast<std::int64_t>(view.size());
    if (len < requested || len == m) { count = len / 2; break; }
    const ByteSpan more = data_at_rva(rva + len, m - len);
    if (!copied && (more.empty() || more.data() == view.data() + view.size())) {
      view = ByteSpan(view.data(), view.size() + more.size());
    } else {
      if (!copied) copy.assign(view.begin(), view.end());
      copied = true;
      copy.insert(copy.end(), more.begin(), more.end());
      view = copy;
    }
    n = requested - 1;
    requested = m;
  }
  const ByteSpan data = view;
  if (count < 0) count = static_cast<std::int64_t>(data.size()) / 2;
  if (static_cast<std::int64_t>(data.size()) < 2 * count) throw NotPE("struct.error in get_string_u_at_rva");
  return decode(data, count);
}

std::u16string PE::unicode_string_at_rva(std::int64_t rva, std::int64_t max_chars) {
  Bytes copy;
  const ByteSpan b = unicode_span(rva, max_chars, copy);
  std::u16string out(b.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return out;
}


const PE::UnicodeSummary& PE::unicode_summary(std::int64_t rva, std::int64_t max_chars) {
  const auto key = std::make_pair(rva, max_chars);
  if (const auto it = unicode_cache_.find(key); it != unicode_cache_.end()) return it->second;
  UnicodeSummary u;
  try {
    const std::u16string s = unicode_string_at_rva(rva, max_chars);
    u.units = static_cast<std::int64_t>(s.size());
    u.rendered = rendered_length(s);
    u.string_file_info = s.size() >= 14 && starts_with(s, u"StringFileInfo");
    u.var_file_info = !u.string_file_info && s.size() >= 11 && starts_with(s, u"VarFileInfo");
  } catch (const PEFormatError&) {
    u.failed = true;
  }
  return unicode_cache_.emplace(key, u).first->second;
}

std::int64_t PE::counted_string_length(std::int64_t rva) {
  try {
    const ByteSpan b = data_at_rva(rva, 2);
    if (b.size() < 2) return 0;
    return le16(b, 0);
  } catch (const PEFormatError&) {
    return 0;
  }
}

// ---------------------------------------------------------------- resource tree

std::optional<PE::ResourceDirectory> PE::parse_resources_directory(std::int64_t rva, std::int64_t base, int level,
                                                                    std::vector<std::int64_t>& visited) {
  if (visited.empty()) visited.push_back(rva);
  if (level > kMaxResourceDepth) {
    warn("Error parsing the resources directory. Excessively nested table depth " + std::to_string(level) + " (>" +
         std::to_string(kMaxResourceDepth) + ")");
    return std::nullopt;
  }
  ByteSpan header;
  try {
    header = data_at_rva(rva, 16);
  } catch (const PEFormatError&) {
    warn("Invalid resources directory. Can't read directory data at RVA: " + hex_signed(rva));
    return std::nullopt;
  }
  const std::int64_t header_offset = offset_from_rva(rva);
  if (header.size() < 16) {
    warn("Corrupt header \"IMAGE_RESOURCE_DIRECTORY\" at file offset " + std::to_string(header_offset) +
         ". Exception: 'Data length less than expected header length.'");
    warn("Invalid resources directory. Can't parse directory data at RVA: " + hex_signed(rva));
    return std::nullopt;
  }
  const std::int64_t count = static_cast<std::int64_t>(le16(header, 12)) + le16(header, 14);
  if (count > kMaxEntriesPerDirectory) {
    warn("Error parsing the resources directory. The directory contains " + std::to_string(count) + " entries (>" +
         std::to_string(kMaxEntriesPerDirectory) + ")");
    return std::nullopt;
  }
  resource_entries_total_ += count;
  if (resource_entries_total_ > kMaxResourceEntries) {
    warn("Error parsing the resources directory. The file contains at least " + std::to_string(resource_entries_total_) +
         " entries (>" + std::to_string(kMaxResourceEntries) + ")");
    return std::nullopt;
  }

  ResourceDirectory dir;
  std::vector<std::int64_t> names_to_render;
  std::optional<std::pair<std::int64_t, std::int64_t>> last_name;
  const auto file_size = static_cast<std::int64_t>(data_.size());
  std::int64_t pos = rva + 16;
  for (std::int64_t i = 0; i < count; ++i, pos += 8) {
    if (!resource_size_warned_ && file_size < resource_bytes_total_) {
      resource_size_warned_ = true;
      warn("Resource size " + hex_signed(resource_bytes_total_) + " exceeds file size " + hex_signed(file_size) +
           ", overlapping resources found.");
    }
    const std::string invalid_entry =
        "Error parsing the resources directory, Entry " + std::to_string(i) + " is invalid, RVA = " + hex_signed(pos) + ". ";
    std::optional<ByteSpan> raw;
    try {
      raw = struct_at_rva("IMAGE_RESOURCE_DIRECTORY_ENTRY", pos, 8, true);
    } catch (const PEFormatError&) {
      warn(invalid_entry);
      break;
    }
    if (!raw) {
      warn(invalid_entry);
      break;
    }
    ResourceDirectory::Entry entry;
    entry.name = le32(*raw, 0);
    entry.offset_to_data = le32(*raw, 4);
    entry.is_id = (entry.name & 0x80000000u) == 0;
    const std::uint32_t id = entry.name & 0xFFFF;

    if (!entry.is_id) {
      const std::int64_t offset = base + (entry.name & 0x7FFFFFFFu);
      const std::int64_t length = counted_string_length(offset);
      resource_bytes_total_ += length;
      if (last_name && last_name->first < offset && offset <= last_name->second) {
        if (!names_to_render.empty()) names_to_render.pop_back();
        warn("Error parsing the resources directory, attempting to read entry name. Entry names overlap " +
             hex_signed(offset));
        break;
      }
      last_name = std::make_pair(offset, offset + length);
      names_to_render.push_back(offset);
    }

    if (entry.offset_to_data & 0x80000000u) {
      const std::int64_t target = base + (entry.offset_to_data & 0x7FFFFFFFu);
      if (std::find(visited.begin(), visited.end(), target) != visited.end()) break;
      visited.push_back(target);
      auto child = parse_resources_directory(target, base, level + 1, visited);
      visited.pop_back();
      if (!child) break;
      if (entry.is_id && id == 6) {
        for (const auto& res : child->entries) {
          if (!res.directory || !res.is_id) continue;
          for (const auto& lang : res.directory->entries) {
            if (!lang.has_data) continue;
            try {
              data_at_rva(lang.data_rva, static_cast<std::int64_t>(lang.data_size));
            } catch (const PEFormatError&) {
              warn("Error parsing resource of type RT_STRING at RVA " + hex_signed(lang.data_rva) + " with size " +
                   std::to_string(lang.data_size));
            }
          }
        }
      }
      entry.directory = std::make_unique<ResourceDirectory>(std::move(*child));
    } else {
      const std::int64_t target = base + entry.offset_to_data;
      std::optional<ByteSpan> data_entry;
      try {
        data_at_rva(target, 16);
      } catch (const PEFormatError&) {
        warn("Error parsing a resource directory data entry, the RVA is invalid: " + hex_signed(target));
        break;
      }
      data_entry = struct_at_rva("IMAGE_RESOURCE_DATA_ENTRY", target, 16, true);
      if (!data_entry) break;
      entry.has_data = true;
      entry.data_rva = le32(*data_entry, 0);
      entry.data_size = le32(*data_entry, 4);
      resource_bytes_total_ += entry.data_size;
    }
    dir.entries.push_back(std::move(entry));

    if (level == 0 && id == 16) {
      const auto& last = dir.entries.back();
      if (last.directory && !last.directory->entries.empty() && last.directory->entries[0].directory) {
        for (const auto& v : last.directory->entries[0].directory->entries)
          if (v.has_data) parse_version_information(v.data_rva, v.data_size);
      }
    }
  }

  for (const std::int64_t offset : names_to_render) {
    try {
      Bytes scratch;
      unicode_span(offset + 2, counted_string_length(offset), scratch);
    } catch (const PEFormatError&) {
      warn("Failed rendering pascal string, attempting to read from RVA " + hex_signed(offset + 2));
    }
  }
  return dir;
}

// ---------------------------------------------------------------- version information

void PE::parse_version_information(std::int64_t d, std::int64_t z) {
  std::int64_t start = 0;
  try {
    start = offset_from_rva(d);
  } catch (const PEFormatError&) {
    warn("Error parsing the version information, attempting to read OffsetToData with RVA: " + hex_signed(d));
    return;
  }
  const ByteSpan raw = slice(start, start + z);
  auto corrupt = [&](const char* name, std::int64_t offset) {
    warn(std::string("Corrupt header \"") + name + "\" at file offset " + std::to_string(offset) +
         ". Exception: 'Data length less than expected header length.'");
  };
  // The 6-byte block header at offset o of the version data, or none.
  struct Block {
    std::uint16_t Length, ValueLength, Type;
  };
  auto block_at = [&](std::int64_t o) -> std::optional<Block> {
    if (o < 0 || o > static_cast<std::int64_t>(raw.size()) || static_cast<std::int64_t>(raw.size()) - o < 6)
      return std::nullopt;
    const auto u = static_cast<std::size_t>(o);
    return Block{le16(raw, u), le16(raw, u + 2), le16(raw, u + 4)};
  };

  const auto vs = block_at(0);
  if (!vs) {
    corrupt("VS_VERSIONINFO", start);
    return;
  }
  std::optional<std::u16string> key;
  {
    const std::int64_t rva = d + 6;
    std::int64_t max = kDefaultUnicodeMax;
    if (const SectionHeader* s = section_by_rva(rva))
      max = (static_cast<std::int64_t>(s->VirtualAddress) + std::max(s->SizeOfRawData, s->VirtualSize) - rva) >> 1;
    try {
      key = unicode_string_at_rva(rva, max);
    } catch (const PEFormatError&) {
      warn("Error parsing the version information, attempting to read VS_VERSION_INFO string. Can't read unicode string "
           "at offset " +
           hex_signed(rva));
    }
  }
  if (!key) {
    warn("Invalid VS_VERSION_INFO block: None");
    return;
  }
  if (*key != u"VS_VERSION_INFO") {
    std::string shown;
    for (std::size_t i = 0; i < key->size() && i < 64; ++i)
      shown.push_back((*key)[i] < 0x80 ? static_cast<char>((*key)[i]) : '?');
    warn("Invalid VS_VERSION_INFO block: " + shown);
    return;
  }
  const std::int64_t f = dword_align(38, d);
  if (f < 0 || static_cast<std::int64_t>(raw.size()) - f < 52) {
    corrupt("VS_FIXEDFILEINFO", start + f);
    return;
  }

  std::int64_t s = dword_align(f + 52, d);
  for (int outer = 0; outer < kMaxLoop; ++outer) {
    const auto block = block_at(s);
    if (!block) {
      corrupt("StringFileInfo", start + s);
      warn("Error parsing StringFileInfo/VarFileInfo struct");
      return;
    }
    const UnicodeSummary block_key = unicode_summary(d + s + 6, kDefaultUnicodeMax);
    if (block_key.failed) {
      warn("Error parsing the version information, attempting to read StringFileInfo string. Can't read unicode string "
           "at offset " +
           hex_signed(d + s + 6));
      break;
    }
    const bool plain = block->Type <= 1 && block->ValueLength == 0;
    if (block_key.string_file_info) {
      if (plain) {
        std::int64_t t = dword_align(s + 6 + 2 * (block_key.rendered + 1), d);
        for (int tables = 0; tables < kMaxLoop; ++tables) {
          const auto table = block_at(t);
          if (!table) {
            corrupt("StringTable", start + t);
            break;
          }
          const UnicodeSummary table_key = unicode_summary(d + t + 6, kDefaultUnicodeMax);
          if (table_key.failed) {
            warn("Error parsing the version information, attempting to read StringTable string. Can't read unicode "
                 "string at offset " +
                 hex_signed(d + t + 6));
            break;
          }
          std::int64_t e = dword_align(t + 6 + 2 * (table_key.rendered + 1), d);
          for (int strings = 0; strings < kMaxLoop && e < t + table->Length; ++strings) {
            const auto str = block_at(e);
            if (!str) {
              corrupt("String", start + e);
              break;
            }
            const UnicodeSummary str_key = unicode_summary(d + e + 6, kDefaultUnicodeMax);
            bool failed = str_key.failed;
            if (!failed) {
              try {
                offset_from_rva(d + e + 6);
              } catch (const PEFormatError&) {
                failed = true;
              }
            }
            if (failed) {
              warn("Error parsing the version information, attempting to read StringTable Key string. Can't read "
                   "unicode string at offset " +
                   hex_signed(d + e + 6));
              break;
            }
            const std::int64_t v = dword_align(2 * (str_key.rendered + 1) + e + 6, d);
            failed = unicode_summary(d + v, str->ValueLength).failed;
            if (!failed) {
              try {
                offset_from_rva(d + v);
              } catch (const PEFormatError&) {
                failed = true;
              }
            }
            if (failed) {
              warn("Error parsing the version information, attempting to read StringTable Value string. Can't read "
                   "unicode string at offset " +
                   hex_signed(d + v));
              break;
            }
            e = str->Length == 0 ? t + table->Length : dword_align(str->Length + e, d);
          }
          const std::int64_t next = dword_align(table->Length + t, d);
          if (next == t) break;
          t = next;
          if (t >= block->Length) break;
        }
      }
    } else if (block_key.var_file_info) {
      if (plain) {
        const std::int64_t r = dword_align(s + 6 + 2 * (block_key.rendered + 1), d);
        if (!block_at(r)) {
          corrupt("Var", start + r);
        } else if (unicode_summary(d + r + 6, kDefaultUnicodeMax).failed) {
          warn("Error parsing the version information, attempting to read VarFileInfo Var string. Can't read unicode "
               "string at offset " +
               hex_signed(d + r + 6));
        }
      }
    }
    if (block->Length == 0) break;
    s = dword_align(block->Length + s, d);
    if (s >= vs->Length) break;
  }
}

}  // namespace ember
