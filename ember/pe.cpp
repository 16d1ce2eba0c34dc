#include "ember/pe.h"

#include <algorithm>
#include <cstdio>

#include "ember/pe_util.h"

namespace ember {

namespace {

constexpr std::int64_t kFileAlignmentFloor = 0x200;
constexpr std::int64_t kPageSize = 0x1000;
constexpr std::uint32_t kMaxSections = 2048;

bool is_power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Length of the valid UTF-8 character starting at b[i], or 0 when none does.
std::size_t utf8_char_length(const std::string& b, std::size_t i) {
  const auto c = static_cast<unsigned char>(b[i]);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (b.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto cc = static_cast<unsigned char>(b[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return n;
}

}  // namespace

// ---------------------------------------------------------------- sections

std::int64_t SectionHeader::raw_start() const {
  if (!raw_start_) {
    if (pe_->opt_.SectionAlignment < kPageSize && VirtualAddress == PointerToRawData) raw_start_ = VirtualAddress;
    else raw_start_ = pe_->adjust_file_alignment(PointerToRawData);
  }
  return *raw_start_;
}

std::int64_t SectionHeader::virtual_start() const {
  if (!virtual_start_) virtual_start_ = pe_->adjust_section_alignment(VirtualAddress);
  return *virtual_start_;
}

bool SectionHeader::contains_rva(std::int64_t rva) const {
  if (!range_) {
    const std::int64_t start = virtual_start();
    const auto file_size = static_cast<std::int64_t>(pe_->data_.size());
    std::int64_t size = (file_size - raw_start() < SizeOfRawData)
                            ? static_cast<std::int64_t>(VirtualSize)
                            : static_cast<std::int64_t>(std::max(SizeOfRawData, VirtualSize));
    if (next_section_virtual_address && *next_section_virtual_address > VirtualAddress &&
        start + size > *next_section_virtual_address)
      size = static_cast<std::int64_t>(*next_section_virtual_address) - start;
    range_ = std::make_pair(start, start + size);
  }
  return range_->first <= rva && rva < range_->second;
}

ByteSpan SectionHeader::data(std::optional<std::int64_t> start_rva, std::optional<std::int64_t> length) const {
  std::int64_t offset = raw_start();
  if (start_rva) offset += *start_rva - virtual_start();
  std::int64_t end = offset + (length ? *length : static_cast<std::int64_t>(SizeOfRawData));
  const std::int64_t limit = static_cast<std::int64_t>(PointerToRawData) + SizeOfRawData;
  if (end > limit) end = limit;
  return py_slice(pe_->data_, offset, end);
}

std::string SectionHeader::raw_name() const {
  std::string s(reinterpret_cast<const char*>(Name.data()), Name.size());
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::string SectionHeader::clean_name() const {
  std::string s = raw_name();
  std::size_t first = 0;
  while (first < s.size() && s[first] == '\0') ++first;
  s = s.substr(first);
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8_char_length(s, i);
    if (n == 0) { ++i; continue; }
    if (n == 1) out.push_back((s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i]);
    else out.append(s, i, n);
    i += n;
  }
  return out;
}

// ---------------------------------------------------------------- address translation

ByteSpan PE::slice(std::int64_t start, std::int64_t end) const { return py_slice(data_, start, end); }

std::int64_t PE::adjust_file_alignment(std::int64_t value) const {
  const std::uint32_t fa = opt_.FileAlignment;
  if (fa >= kFileAlignmentFloor && !is_power_of_two(fa) && !file_alignment_warned_) {
    file_alignment_warned_ = true;
    warn("If FileAlignment > 0x200 it should be a power of 2. Value: " + hex_plain(fa));
  }
  return (value / kFileAlignmentFloor) * kFileAlignmentFloor;
}

std::int64_t PE::adjust_section_alignment(std::int64_t value) const {
  const std::uint32_t sa = opt_.SectionAlignment;
  const std::uint32_t fa = opt_.FileAlignment;
  if (sa < kPageSize && sa != fa && !section_alignment_warned_) {
    section_alignment_warned_ = true;
    char buf[160];
    std::snprintf(buf, sizeof buf, "If SectionAlignment(0x%llx) < 0x1000 it should equal FileAlignment(0x%llx)",
                  static_cast<unsigned long long>(sa), static_cast<unsigned long long>(fa));
    warn(buf);
  }
  const std::int64_t a = sa < kPageSize ? fa : sa;
  if (a != 0 && value % a != 0) return a * (value / a);
  return value;
}

const SectionHeader* PE::section_by_rva(std::int64_t rva) const {
  if (last_section_ >= 0 && sections_[static_cast<std::size_t>(last_section_)].contains_rva(rva))
    return &sections_[static_cast<std::size_t>(last_section_)];
  if (range_starts_.size() == sections_.size() && !sections_.empty()) {
    // Starts are non-decreasing in sorted order, so the candidates are a
    // prefix; the first of them whose end lies past the RVA is the first
    // index at which the running maximum of the ends does.
    const auto prefix = static_cast<std::size_t>(
        std::upper_bound(range_starts_.begin(), range_starts_.end(), rva) - range_starts_.begin());
    const auto first = static_cast<std::size_t>(
        std::upper_bound(range_end_max_.begin(), range_end_max_.end(), rva) - range_end_max_.begin());
    if (first < prefix) {
      last_section_ = static_cast<std::ptrdiff_t>(first);
      return &sections_[first];
    }
    return nullptr;
  }
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].contains_rva(rva)) {
      last_section_ = static_cast<std::ptrdiff_t>(i);
      return &sections_[i];
    }
  }
  return nullptr;
}

const SectionHeader* PE::section_by_offset(std::int64_t offset) const {
  if (!raw_index_built_) {
    raw_index_built_ = true;
    for (const auto& s : sections_) {
      raw_bounds_.push_back(s.raw_start());
      raw_bounds_.push_back(s.raw_start() + s.SizeOfRawData);
    }
    std::sort(raw_bounds_.begin(), raw_bounds_.end());
    raw_bounds_.erase(std::unique(raw_bounds_.begin(), raw_bounds_.end()), raw_bounds_.end());
    raw_owner_.assign(raw_bounds_.size(), -1);
    for (std::size_t j = 0; j + 1 < raw_bounds_.size(); ++j) {
      for (std::size_t i = 0; i < sections_.size(); ++i) {
        const std::int64_t start = sections_[i].raw_start();
        if (start <= raw_bounds_[j] && raw_bounds_[j] < start + sections_[i].SizeOfRawData) {
          raw_owner_[j] = static_cast<std::ptrdiff_t>(i);
          break;
        }
      }
    }
  }
  const auto it = std::upper_bound(raw_bounds_.begin(), raw_bounds_.end(), offset);
  if (it == raw_bounds_.begin()) return nullptr;
  const std::ptrdiff_t owner = raw_owner_[static_cast<std::size_t>(it - raw_bounds_.begin() - 1)];
  return owner < 0 ? nullptr : &sections_[static_cast<std::size_t>(owner)];
}

std::int64_t PE::offset_from_rva(std::int64_t rva) const {
  if (const SectionHeader* s = section_by_rva(rva)) return rva - s->virtual_start() + s->raw_start();
  if (rva < static_cast<std::int64_t>(data_.size())) return rva;
  throw PEFormatError("data at RVA " + hex_signed(rva) + " can't be fetched");
}

ByteSpan PE::data_at_rva(std::int64_t rva, std::optional<std::int64_t> length) const {
  if (const SectionHeader* s = section_by_rva(rva)) return s->data(rva, length);
  std::optional<std::int64_t> end;
  if (length) end = rva + *length;
  if (rva < static_cast<std::int64_t>(header_.size())) return py_slice(header_, rva, end);
  if (rva < static_cast<std::int64_t>(data_.size())) return py_slice(data_, rva, end);
  throw PEFormatError("data at RVA can't be fetched. Corrupt header?");
}

std::optional<std::uint32_t> PE::dword_at_rva(std::int64_t rva) const {
  try {
    const ByteSpan b = data_at_rva(rva, 4);
    if (b.size() < 4) return std::nullopt;
    return le32(b, 0);
  } catch (const PEFormatError&) {
    return std::nullopt;
  }
}

std::optional<std::string> PE::string_at_rva(std::optional<std::int64_t> rva, std::int64_t max_length) const {
  if (!rva) return std::nullopt;
  if (const SectionHeader* s = section_by_rva(*rva)) return cut_at_nul(s->data(*rva, max_length));
  return cut_at_nul(py_slice(data_, *rva, *rva + max_length));
}

std::optional<ByteSpan> PE::read_struct(const char* name, std::int64_t offset, std::size_t size,
                                        bool quoted_exception) const {
  const ByteSpan b = slice(offset, offset + static_cast<std::int64_t>(size));
  if (offset < 0 || b.size() < size) {
    warn(std::string("Corrupt header \"") + name + "\" at file offset " + std::to_string(offset) +
         (quoted_exception ? ". Exception: 'Data length less than expected header length.'"
                           : ". Exception: Data length less than expected header length."));
    return std::nullopt;
  }
  return b;
}

std::optional<ByteSpan> PE::struct_at_rva(const char* name, std::int64_t rva, std::size_t size,
                                          bool quoted_exception) const {
  const ByteSpan b = data_at_rva(rva, static_cast<std::int64_t>(size));
  const std::int64_t offset = offset_from_rva(rva);
  if (b.size() < size) {
    warn(std::string("Corrupt header \"") + name + "\" at file offset " + std::to_string(offset) +
         (quoted_exception ? ". Exception: 'Data length less than expected header length.'"
                           : ". Exception: Data length less than expected header length."));
    return std::nullopt;
  }
  return b.first(size);
}

std::optional<std::uint64_t> PE::overlay_offset() const {
  const auto file_size = static_cast<std::int64_t>(data_.size());
  std::int64_t best = 0;
  auto consider = [&](std::int64_t offset, std::int64_t size) {
    const std::int64_t sum = offset + size;
    if (sum <= file_size && sum > best) best = sum;
  };
  consider(static_cast<std::int64_t>(opt_.file_offset), file_.SizeOfOptionalHeader);
  for (const auto& s : sections_) consider(s.PointerToRawData, s.SizeOfRawData);
  for (std::size_t i = 0; i < directories_.size(); ++i) {
    if (i == 4) continue;  // the certificate table is addressed by file offset, not RVA
    try {
      consider(offset_from_rva(directories_[i].VirtualAddress), directories_[i].Size);
    } catch (const PEFormatError&) {
    }
  }
  if (file_size > best) return static_cast<std::uint64_t>(best);
  return std::nullopt;
}

// ---------------------------------------------------------------- construction

PE::PE(ByteSpan data) : data_(data) {
  parse_headers();
  parse_directories();
  parse_rich_header();
}

void PE::parse_headers() {
  const auto file_size = static_cast<std::int64_t>(data_.size());

  if (!data_.empty()) {
    // Four interleaved tables keep successive increments independent.
    std::array<std::array<std::uint64_t, 256>, 4> lanes{};
    const std::uint8_t* p = data_.data();
    const std::size_t n = data_.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++lanes[0][p[i]];
      ++lanes[1][p[i + 1]];
      ++lanes[2][p[i + 2]];
      ++lanes[3][p[i + 3]];
    }
    for (; i < n; ++i) ++lanes[0][p[i]];
    std::array<std::uint64_t, 256> counts{};
    for (std::size_t v = 0; v < 256; ++v) counts[v] = lanes[0][v] + lanes[1][v] + lanes[2][v] + lanes[3][v];
    for (int b = 0; b < 256; ++b) {
      if (counts[static_cast<std::size_t>(b)] == 0) continue;
      const double x = static_cast<double>(counts[static_cast<std::size_t>(b)]) / static_cast<double>(file_size);
      if ((b == 0 && x > 0.5) || (b != 0 && x > 0.15)) {
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "Byte 0x%02x makes up %.4f%% of the file's contents. This may indicate truncation / malformation.",
                      b, 100.0 * x);
        warn(buf);
      }
    }
  }

  if (data_.size() < 64) throw PEFormatError("Unable to read the DOS Header, possibly a truncated file.");
  {
    const ByteSpan d = data_;
    dos_.e_magic = le16(d, 0);
    dos_.e_cblp = le16(d, 2);
    dos_.e_cp = le16(d, 4);
    dos_.e_crlc = le16(d, 6);
    dos_.e_cparhdr = le16(d, 8);
    dos_.e_minalloc = le16(d, 10);
    dos_.e_maxalloc = le16(d, 12);
    dos_.e_ss = le16(d, 14);
    dos_.e_sp = le16(d, 16);
    dos_.e_csum = le16(d, 18);
    dos_.e_ip = le16(d, 20);
    dos_.e_cs = le16(d, 22);
    dos_.e_lfarlc = le16(d, 24);
    dos_.e_ovno = le16(d, 26);
    dos_.e_oemid = le16(d, 36);
    dos_.e_oeminfo = le16(d, 38);
    dos_.e_lfanew = le32(d, 60);
  }
  if (dos_.e_magic == 0x4D5A) throw PEFormatError("Probably a ZM Executable (not a PE file).");
  if (dos_.e_magic != 0x5A4D) throw PEFormatError("DOS Header magic not found.");
  const std::int64_t nt = dos_.e_lfanew;
  if (nt > file_size) throw PEFormatError("Invalid e_lfanew value, probably not a PE file");

  const auto nt_bytes = read_struct("IMAGE_NT_HEADERS", nt, 4);
  if (!nt_bytes) throw PEFormatError("NT Headers not found.");
  const std::uint32_t signature = le32(*nt_bytes, 0);
  if (signature == 0) throw PEFormatError("NT Headers not found.");
  if (signature != 0x00004550) throw PEFormatError("Invalid NT Headers signature.");

  const auto fh = read_struct("IMAGE_FILE_HEADER", nt + 4, 20);
  if (!fh) throw PEFormatError("File Header missing");
  file_.Machine = le16(*fh, 0);
  file_.NumberOfSections = le16(*fh, 2);
  file_.TimeDateStamp = le32(*fh, 4);
  file_.PointerToSymbolTable = le32(*fh, 8);
  file_.NumberOfSymbols = le32(*fh, 12);
  file_.SizeOfOptionalHeader = le16(*fh, 16);
  file_.Characteristics = le16(*fh, 18);

  const std::int64_t oh = nt + 24;
  // Reads the optional header as PE32 or PE32+; a short header is padded with
  // zeros when enough of it is present to be plausible.
  auto read_optional = [&](bool plus) -> std::optional<Bytes> {
    const std::size_t size = plus ? 112 : 96;
    const char* name = plus ? "IMAGE_OPTIONAL_HEADER64" : "IMAGE_OPTIONAL_HEADER";
    const ByteSpan first = slice(oh, oh + (plus ? 0x200 : 0x100));
    if (first.size() >= size) return Bytes(first.begin(), first.end());
    read_struct(name, oh, size);  // adds the corrupt-header warning
    const ByteSpan wide = slice(oh, oh + 0x200);
    if (wide.size() < (plus ? 73u : 69u)) return std::nullopt;
    Bytes padded(wide.begin(), wide.end());
    padded.resize(padded.size() + 128, 0);
    return padded;
  };
  auto decode_optional = [&](const Bytes& raw, bool plus) {
    const ByteSpan b = raw;
    OptionalHeader o;
    o.Magic = le16(b, 0);
    o.MajorLinkerVersion = b[2];
    o.MinorLinkerVersion = b[3];
    o.SizeOfCode = le32(b, 4);
    o.SizeOfInitializedData = le32(b, 8);
    o.SizeOfUninitializedData = le32(b, 12);
    o.AddressOfEntryPoint = le32(b, 16);
    o.BaseOfCode = le32(b, 20);
    if (plus) {
      o.ImageBase = le64(b, 24);
    } else {
      o.BaseOfData = le32(b, 24);
      o.ImageBase = le32(b, 28);
    }
    o.SectionAlignment = le32(b, 32);
    o.FileAlignment = le32(b, 36);
    o.MajorOperatingSystemVersion = le16(b, 40);
    o.MinorOperatingSystemVersion = le16(b, 42);
    o.MajorImageVersion = le16(b, 44);
    o.MinorImageVersion = le16(b, 46);
    o.MajorSubsystemVersion = le16(b, 48);
    o.MinorSubsystemVersion = le16(b, 50);
    o.Win32VersionValue = le32(b, 52);
    o.SizeOfImage = le32(b, 56);
    o.SizeOfHeaders = le32(b, 60);
    o.CheckSum = le32(b, 64);
    o.Subsystem = le16(b, 68);
    o.DllCharacteristics = le16(b, 70);
    if (plus) {
      o.SizeOfStackReserve = le64(b, 72);
      o.SizeOfStackCommit = le64(b, 80);
      o.SizeOfHeapReserve = le64(b, 88);
      o.SizeOfHeapCommit = le64(b, 96);
      o.LoaderFlags = le32(b, 104);
      o.NumberOfRvaAndSizes = le32(b, 108);
    } else {
      o.SizeOfStackReserve = le32(b, 72);
      o.SizeOfStackCommit = le32(b, 76);
      o.SizeOfHeapReserve = le32(b, 80);
      o.SizeOfHeapCommit = le32(b, 84);
      o.LoaderFlags = le32(b, 88);
      o.NumberOfRvaAndSizes = le32(b, 92);
    }
    o.file_offset = static_cast<std::uint64_t>(oh);
    o.structure_size = plus ? 112 : 96;
    return o;
  };
  auto raw = read_optional(false);
  if (!raw) throw PEFormatError("No Optional Header found, invalid PE32 or PE32+ file.");
  opt_ = decode_optional(*raw, false);
  if (opt_.Magic == kPE32) {
    pe_type_ = kPE32;
  } else if (opt_.Magic == kPE32Plus) {
    pe_type_ = kPE32Plus;
    raw = read_optional(true);
    if (!raw) throw PEFormatError("No Optional Header found, invalid PE32 or PE32+ file.");
    opt_ = decode_optional(*raw, true);
  }
  if (pe_type_ == 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Invalid type 0x%04x in Optional Header.", opt_.Magic);
    warn(buf);
  }
  if (opt_.AddressOfEntryPoint < opt_.SizeOfHeaders)
    warn("SizeOfHeaders is smaller than AddressOfEntryPoint: this file cannot run under Windows 8.");
  if (opt_.NumberOfRvaAndSizes > 16)
    warn("Suspicious NumberOfRvaAndSizes in the Optional Header. Normal values are never larger than 0x10, the value is: " +
         hex_signed(opt_.NumberOfRvaAndSizes));

  {
    const std::int64_t table_start = oh + opt_.structure_size;
    std::int64_t pos = table_start;
    const std::uint32_t n = opt_.NumberOfRvaAndSizes & 0x7FFFFFFFu;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (pos == file_size) break;
      std::uint8_t entry[8] = {};
      const ByteSpan avail = slice(pos, pos + 8);
      std::copy(avail.begin(), avail.end(), entry);
      if (i >= 16) break;
      const ByteSpan e(entry, 8);
      directories_.push_back(DataDirectory{le32(e, 0), le32(e, 4), i});
      pos += 8;
      if (pos >= table_start + 128) break;
    }
  }

  const std::int64_t table = oh + file_.SizeOfOptionalHeader;
  parse_sections(table);

  {
    const std::int64_t table_end = table + 40 * static_cast<std::int64_t>(file_.NumberOfSections);
    std::optional<std::int64_t> lowest;
    for (const auto& s : sections_) {
      if (s.PointerToRawData == 0) continue;
      const std::int64_t adj = adjust_file_alignment(s.PointerToRawData);
      if (!lowest || adj < *lowest) lowest = adj;
    }
    std::int64_t header_end = (!lowest || *lowest == 0 || *lowest < table_end) ? table_end : *lowest;
    header_ = py_slice(data_, 0, std::min(file_size, header_end));
  }

  const std::int64_t ep = opt_.AddressOfEntryPoint;
  if (section_by_rva(ep)) {
    if (offset_from_rva(ep) > file_size)
      warn("Possibly corrupt file. AddressOfEntryPoint lies outside the file. AddressOfEntryPoint: " + hex_signed(ep));
  } else {
    warn("AddressOfEntryPoint lies outside the sections' boundaries. AddressOfEntryPoint: " + hex_signed(ep));
  }
}

void PE::parse_sections(std::int64_t table_offset) {
  const auto file_size = static_cast<std::int64_t>(data_.size());
  for (std::uint32_t i = 0; i < file_.NumberOfSections; ++i) {
    if (i >= kMaxSections) {
      warn("Too many sections " + std::to_string(file_.NumberOfSections) + " (>=" + std::to_string(kMaxSections) + ")");
      break;
    }
    const std::int64_t entry_offset = table_offset + 40 * static_cast<std::int64_t>(i);
    const ByteSpan raw = slice(entry_offset, entry_offset + 40);
    if (raw.size() == 40 && std::all_of(raw.begin(), raw.end(), [](std::uint8_t b) { return b == 0; })) {
      warn("Invalid section " + std::to_string(i) + ". Contents are null-bytes.");
      break;
    }
    if (raw.empty()) {
      warn("Invalid section " + std::to_string(i) + ". No data in the file (is this corkami's virtsectblXP?).");
      break;
    }
    if (raw.size() < 40) throw PEFormatError("Data length less than expected header length.");

    SectionHeader s;
    s.pe_ = this;
    std::copy(raw.begin(), raw.begin() + 8, s.Name.begin());
    s.VirtualSize = le32(raw, 8);
    s.VirtualAddress = le32(raw, 12);
    s.SizeOfRawData = le32(raw, 16);
    s.PointerToRawData = le32(raw, 20);
    s.PointerToRelocations = le32(raw, 24);
    s.PointerToLinenumbers = le32(raw, 28);
    s.NumberOfRelocations = le16(raw, 32);
    s.NumberOfLinenumbers = le16(raw, 34);
    s.Characteristics = le32(raw, 36);
    s.file_offset = static_cast<std::uint64_t>(entry_offset);
    s.table_index = i;

    const std::string idx = std::to_string(i);
    int problems = 0;
    if (static_cast<std::int64_t>(s.PointerToRawData) + s.SizeOfRawData > file_size) {
      ++problems;
      warn("Error parsing section " + idx + ". SizeOfRawData is larger than file.");
    }
    if (adjust_file_alignment(s.PointerToRawData) > file_size) {
      ++problems;
      warn("Error parsing section " + idx + ". PointerToRawData points beyond the end of the file.");
    }
    if (s.VirtualSize > 0x10000000u) {
      ++problems;
      warn("Suspicious value found parsing section " + idx + ". VirtualSize is extremely large > 256MiB.");
    }
    if (adjust_section_alignment(s.VirtualAddress) > 0x10000000) {
      ++problems;
      warn("Suspicious value found parsing section " + idx + ". VirtualAddress is beyond 0x10000000.");
    }
    if (opt_.FileAlignment != 0 && s.PointerToRawData % opt_.FileAlignment != 0) {
      ++problems;
      warn("Error parsing section " + idx +
           ". PointerToRawData should normally be a multiple of FileAlignment, this might imply the file is trying to "
           "confuse tools which parse this incorrectly.");
    }
    if (problems >= 3) {
      warn("Too many warnings parsing section. Aborting.");
      break;
    }
    if ((s.Characteristics & 0x80000000u) && (s.Characteristics & 0x20000000u)) {
      if (s.raw_name() == "PAGE" && directories_.size() >= 2 && directories_[1].VirtualAddress != 0 &&
          !sections_.empty())
        throw NotPE("is_driver during section parsing");
      warn("Suspicious flags set for section " + idx +
           ". Both IMAGE_SCN_MEM_WRITE and IMAGE_SCN_MEM_EXECUTE are set. This might indicate a packed executable.");
    }
    sections_.push_back(s);
  }
  std::stable_sort(sections_.begin(), sections_.end(),
                   [](const SectionHeader& a, const SectionHeader& b) { return a.VirtualAddress < b.VirtualAddress; });
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    sections_[i].range_.reset();
    if (i + 1 < sections_.size()) sections_[i].next_section_virtual_address = sections_[i + 1].VirtualAddress;
  }
  // Every kept section went through the alignment checks, so computing the
  // ranges now adds no warning.
  for (const auto& s : sections_) {
    s.contains_rva(0);
    range_starts_.push_back(s.range_->first);
    range_end_max_.push_back(range_end_max_.empty() ? s.range_->second
                                                    : std::max(range_end_max_.back(), s.range_->second));
  }
}

void PE::parse_directories() {
  struct Entry {
    std::uint32_t index;
    const char* name;
  };
  static constexpr Entry kOrder[] = {
      {1, "IMAGE_DIRECTORY_ENTRY_IMPORT"},     {0, "IMAGE_DIRECTORY_ENTRY_EXPORT"},
      {2, "IMAGE_DIRECTORY_ENTRY_RESOURCE"},   {6, "IMAGE_DIRECTORY_ENTRY_DEBUG"},
      {5, "IMAGE_DIRECTORY_ENTRY_BASERELOC"},  {9, "IMAGE_DIRECTORY_ENTRY_TLS"},
      {10, "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"}, {13, "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"},
      {11, "IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT"}, {3, "IMAGE_DIRECTORY_ENTRY_EXCEPTION"},
  };
  for (const Entry& e : kOrder) {
    if (e.index >= directories_.size()) break;
    const DataDirectory d = directories_[e.index];
    if (d.VirtualAddress == 0) continue;
    const std::int64_t rva = d.VirtualAddress;
    const std::int64_t size = d.Size;
    try {
      switch (e.index) {
        case 1: imports_ = parse_import_directory(rva); has_imports_ = !imports_.empty(); break;
        case 0: has_exports_ = parse_export_directory(rva, size); break;
        case 2: parse_resources(rva); break;
        case 6: parse_debug_directory(rva, size); break;
        case 5: has_base_relocations_ = parse_base_relocations(rva, size, 0); break;
        case 9: parse_tls_directory(rva); break;
        case 10: has_load_config_ = parse_load_config(rva); break;
        case 13: parse_delay_import_directory(rva); break;
        case 11: parse_bound_imports(rva); break;
        case 3: parse_exception_directory(rva, size); break;
        default: break;
      }
    } catch (const PEFormatError& err) {
      warn(std::string("Failed to process directory \"") + e.name + "\": " + err.what());
    }
  }
}

}  // namespace ember
