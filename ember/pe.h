// A lenient parser of Portable Executable images held in memory.
//
// Construction parses the headers, the section table and the data directories
// and records everything odd about the image as warning strings, in the order
// found; the texts are exact and stable because the feature vector matches
// them. It throws PEFormatError when the image cannot be a PE at all and NotPE
// for the few layouts it does not handle; callers treat both as "not a PE".
//
// Every offset, size, count and RVA read from the image is untrusted: reads are
// bounds-checked, every loop is bounded, resource-tree cycles and import-chain
// loops end their walk, and time stays linear in the input size. The object
// never writes to the input and keeps a view of it: the caller keeps the bytes
// alive as long as the object. All query functions are safe to call after
// construction and never add warnings; lookups update internal caches, so one
// object is not for concurrent use from several threads.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace ember {

// The input is not a usable PE image.
class PEFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The image uses a layout the parser does not handle.
class NotPE : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PE;

struct DosHeader {
  std::uint16_t e_magic = 0, e_cblp = 0, e_cp = 0, e_crlc = 0, e_cparhdr = 0, e_minalloc = 0, e_maxalloc = 0,
                e_ss = 0, e_sp = 0, e_csum = 0, e_ip = 0, e_cs = 0, e_lfarlc = 0, e_ovno = 0, e_oemid = 0,
                e_oeminfo = 0;
  std::uint32_t e_lfanew = 0;
};

struct FileHeader {
  std::uint16_t Machine = 0;
  std::uint16_t NumberOfSections = 0;
  std::uint32_t TimeDateStamp = 0;
  std::uint32_t PointerToSymbolTable = 0;
  std::uint32_t NumberOfSymbols = 0;
  std::uint16_t SizeOfOptionalHeader = 0;
  std::uint16_t Characteristics = 0;
};

struct OptionalHeader {
  std::uint16_t Magic = 0;
  std::uint8_t MajorLinkerVersion = 0, MinorLinkerVersion = 0;
  std::uint32_t SizeOfCode = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0, AddressOfEntryPoint = 0,
                BaseOfCode = 0;
  std::uint32_t BaseOfData = 0;  // PE32 only; 0 for PE32+
  std::uint64_t ImageBase = 0;
  std::uint32_t SectionAlignment = 0, FileAlignment = 0;
  std::uint16_t MajorOperatingSystemVersion = 0, MinorOperatingSystemVersion = 0, MajorImageVersion = 0,
                MinorImageVersion = 0, MajorSubsystemVersion = 0, MinorSubsystemVersion = 0;
  std::uint32_t Win32VersionValue = 0, SizeOfImage = 0, SizeOfHeaders = 0, CheckSum = 0;
  std::uint16_t Subsystem = 0, DllCharacteristics = 0;
  std::uint64_t SizeOfStackReserve = 0, SizeOfStackCommit = 0, SizeOfHeapReserve = 0, SizeOfHeapCommit = 0;
  std::uint32_t LoaderFlags = 0, NumberOfRvaAndSizes = 0;
  std::uint64_t file_offset = 0;     // where the optional header starts in the file
  std::uint32_t structure_size = 0;  // 96 (PE32) or 112 (PE32+), without the directory table
};

struct DataDirectory {
  std::uint32_t VirtualAddress = 0;
  std::uint32_t Size = 0;
  std::uint32_t index = 0;  // position in the table, 0-15
};

// One 40-byte section table entry. The derived values (adjusted starts, the
// RVA range) are computed on first use and cached; they need the owning PE.
class SectionHeader {
 public:
  std::array<std::uint8_t, 8> Name{};
  std::uint32_t VirtualSize = 0, VirtualAddress = 0, SizeOfRawData = 0, PointerToRawData = 0,
                PointerToRelocations = 0, PointerToLinenumbers = 0;
  std::uint16_t NumberOfRelocations = 0, NumberOfLinenumbers = 0;
  std::uint32_t Characteristics = 0;
  std::uint64_t file_offset = 0;  // offset of the table entry
  std::uint32_t table_index = 0;  // position in the section table
  std::optional<std::uint32_t> next_section_virtual_address;  // the successor in VirtualAddress order

  // PointerToRawData rounded down to a multiple of 0x200 (VirtualAddress when
  // SectionAlignment < 0x1000 and VirtualAddress == PointerToRawData).
  std::int64_t raw_start() const;
  // VirtualAddress rounded down to the section alignment in effect.
  std::int64_t virtual_start() const;
  bool contains_rva(std::int64_t rva) const;
  // The section's bytes from `start_rva` (default: its start) for `length`
  // bytes (default SizeOfRawData), never past PointerToRawData + SizeOfRawData.
  ByteSpan data(std::optional<std::int64_t> start_rva = std::nullopt,
                std::optional<std::int64_t> length = std::nullopt) const;
  // Name without NUL padding, invalid UTF-8 dropped, ASCII upper case lowered.
  std::string clean_name() const;
  // Name with trailing NUL bytes removed, raw bytes.
  std::string raw_name() const;

 private:
  friend class PE;
  const PE* pe_ = nullptr;
  mutable std::optional<std::int64_t> raw_start_, virtual_start_;
  mutable std::optional<std::pair<std::int64_t, std::int64_t>> range_;  // [start, end)
};

struct ImportSymbol {
  std::optional<std::string> name;  // raw bytes; built-in ordinal names fill by-ordinal imports
  std::uint64_t ordinal = 0;        // meaningful when by_ordinal
  bool by_ordinal = false;
  std::uint16_t hint = 0;  // for imports by name
  std::uint64_t thunk = 0;
};

struct ImportDescriptor {
  std::string dll;  // as read, or "*invalid*"
  std::uint32_t OriginalFirstThunk = 0, TimeDateStamp = 0, ForwarderChain = 0, Name = 0, FirstThunk = 0;
  std::vector<ImportSymbol> symbols;
};

struct ExportSymbol {
  std::optional<std::string> name;
  std::uint32_t ordinal = 0;  // Base + index
  std::uint32_t address = 0;  // RVA
  std::optional<std::string> forwarder;
};

struct ExportDirectory {
  std::uint32_t Characteristics = 0, TimeDateStamp = 0;
  std::uint16_t MajorVersion = 0, MinorVersion = 0;
  std::uint32_t Name = 0, Base = 0, NumberOfFunctions = 0, NumberOfNames = 0, AddressOfFunctions = 0,
                AddressOfNames = 0, AddressOfNameOrdinals = 0;
  std::optional<std::string> name;  // the module name the directory names
  std::vector<ExportSymbol> symbols;
};

// The name a built-in table gives an import by ordinal from oleaut32.dll,
// ws2_32.dll or wsock32.dll (library name compared case-insensitively):
// the table's name, else "ord" + the decimal ordinal. Other libraries: none.
std::optional<std::string> ordinal_name(const std::string& dll, std::uint64_t ordinal);

class PE {
 public:
  static constexpr std::uint16_t kPE32 = 0x10B;
  static constexpr std::uint16_t kPE32Plus = 0x20B;

  // Parses `data`; throws PEFormatError or NotPE. `data` must outlive the object.
  explicit PE(ByteSpan data);
  PE(const PE&) = delete;
  PE& operator=(const PE&) = delete;

  ByteSpan bytes() const { return data_; }
  const std::vector<std::string>& warnings() const { return warnings_; }

  const DosHeader& dos_header() const { return dos_; }
  const FileHeader& file_header() const { return file_; }
  const OptionalHeader& optional_header() const { return opt_; }
  std::uint16_t pe_type() const { return pe_type_; }  // 0, kPE32 or kPE32Plus
  // Entries in file order; at most 16.
  const std::vector<DataDirectory>& data_directories() const { return directories_; }
  // Kept sections, stably sorted by VirtualAddress.
  const std::vector<SectionHeader>& sections() const { return sections_; }
  ByteSpan header_bytes() const { return header_; }

  bool has_imports() const { return has_imports_; }
  const std::vector<ImportDescriptor>& imports() const { return imports_; }
  bool has_exports() const { return has_exports_; }
  const ExportDirectory& exports() const { return exports_; }  // empty unless has_exports()

  bool has_base_relocations() const { return has_base_relocations_; }
  bool has_load_config() const { return has_load_config_; }
  bool has_dynamic_relocations() const { return has_dynamic_relocations_; }
  bool has_rich_header() const { return has_rich_header_; }
  // comp-id, count, comp-id, count, ... already XOR-ed with the key.
  const std::vector<std::uint32_t>& rich_values() const { return rich_values_; }

  // Where the overlay starts, when the file extends past everything the headers describe.
  std::optional<std::uint64_t> overlay_offset() const;

  // Address translation shared by the directory parsers.
  const SectionHeader* section_by_rva(std::int64_t rva) const;
  const SectionHeader* section_by_offset(std::int64_t offset) const;
  std::int64_t offset_from_rva(std::int64_t rva) const;  // throws PEFormatError
  ByteSpan data_at_rva(std::int64_t rva, std::optional<std::int64_t> length = std::nullopt) const;  // throws
  std::optional<std::uint32_t> dword_at_rva(std::int64_t rva) const;
  std::optional<std::string> string_at_rva(std::optional<std::int64_t> rva, std::int64_t max_length = 0x100000) const;

  // Rounding helpers; the first call that finds an odd alignment warns once.
  std::int64_t adjust_file_alignment(std::int64_t value) const;
  std::int64_t adjust_section_alignment(std::int64_t value) const;

  // The file bytes [start, end) with negative bounds counted from the end and clamped.
  ByteSpan slice(std::int64_t start, std::int64_t end) const;

 private:
  friend class SectionHeader;
  void warn(std::string text) const { warnings_.push_back(std::move(text)); }
  // The bytes of one structure at `offset`, or none after a "Corrupt header" warning.
  std::optional<ByteSpan> read_struct(const char* name, std::int64_t offset, std::size_t size,
                                      bool quoted_exception = false) const;
  // The same for a structure at an RVA: bytes from data_at_rva, the warning's
  // offset from offset_from_rva; both may throw PEFormatError.
  std::optional<ByteSpan> struct_at_rva(const char* name, std::int64_t rva, std::size_t size,
                                        bool quoted_exception = false) const;

  void parse_headers();
  void parse_sections(std::int64_t table_offset);
  void parse_directories();

  // Imports and exports (pe_imports.cpp).
  std::optional<std::vector<std::uint64_t>> import_table(std::int64_t rva, std::optional<std::int64_t> max_length,
                                                         bool addresses);
  std::vector<ImportSymbol> parse_imports(std::int64_t oft, std::int64_t ft, std::optional<std::int64_t> max_length,
                                          bool addresses);
  std::vector<ImportDescriptor> parse_import_directory(std::int64_t rva);
  void parse_delay_import_directory(std::int64_t rva);
  void parse_bound_imports(std::int64_t rva);
  bool parse_export_directory(std::int64_t rva, std::int64_t size);

  // Resources and version information (pe_resources.cpp).
  struct ResourceDirectory;
  void parse_resources(std::int64_t rva);
  std::u16string unicode_string_at_rva(std::int64_t rva, std::int64_t max_chars);
  // The string's bytes (a view of the input, or of `copy` when its pieces are not adjacent).
  ByteSpan unicode_span(std::int64_t rva, std::int64_t max_chars, Bytes& copy);
  // What the version walk needs of a UTF-16 string, read once per (rva, max):
  // hostile version blocks revisit the same strings many times.
  struct UnicodeSummary {
    bool failed = false;  // the read threw PEFormatError
    std::int64_t units = 0;
    std::int64_t rendered = 0;  // length of its UTF-8 rendering
    bool string_file_info = false, var_file_info = false;
  };
  const UnicodeSummary& unicode_summary(std::int64_t rva, std::int64_t max_chars);
  std::map<std::pair<std::int64_t, std::int64_t>, UnicodeSummary> unicode_cache_;
  // First file offset >= x, of x's parity, where two zero bytes follow each
  // other (the file size when none). Scanned stretches are remembered per
  // parity, so every byte is scanned at most once per parity.
  std::int64_t aligned_double_nul(std::int64_t x);
  std::map<std::int64_t, std::int64_t> nul_runs_[2];
  std::int64_t counted_string_length(std::int64_t rva);
  std::optional<ResourceDirectory> parse_resources_directory(std::int64_t rva, std::int64_t base, int level,
                                                             std::vector<std::int64_t>& visited);
  void parse_version_information(std::int64_t offset_to_data, std::int64_t size);

  // Relocations, debug, TLS, load configuration, exceptions, Rich header (pe_directories.cpp).
  bool parse_base_relocations(std::int64_t rva, std::int64_t size, int mode);
  void parse_relocation_entries(std::int64_t data_rva, std::int64_t page_rva, std::int64_t length, int mode);
  void parse_debug_directory(std::int64_t rva, std::int64_t size);
  void parse_tls_directory(std::int64_t rva);
  bool parse_load_config(std::int64_t rva);
  std::optional<std::vector<std::uint64_t>> parse_dynamic_relocations(std::int64_t offset, std::uint32_t section);
  void parse_function_override(std::int64_t rva);
  void parse_exception_directory(std::int64_t rva, std::int64_t size);
  void parse_rich_header();

  ByteSpan data_;
  mutable std::vector<std::string> warnings_;
  DosHeader dos_;
  FileHeader file_;
  OptionalHeader opt_;
  std::uint16_t pe_type_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<SectionHeader> sections_;
  ByteSpan header_;
  mutable bool file_alignment_warned_ = false;
  mutable bool section_alignment_warned_ = false;
  mutable std::ptrdiff_t last_section_ = -1;
  // Lookup indexes over the sorted sections (built once the table is final):
  // range starts (non-decreasing) with the running maximum of range ends, and
  // the first section holding each elementary interval of raw ranges.
  std::vector<std::int64_t> range_starts_, range_end_max_;
  mutable std::vector<std::int64_t> raw_bounds_;
  mutable std::vector<std::ptrdiff_t> raw_owner_;
  mutable bool raw_index_built_ = false;

  bool has_imports_ = false;
  std::vector<ImportDescriptor> imports_;
  bool has_exports_ = false;
  ExportDirectory exports_;
  std::int64_t total_import_symbols_ = 0;

  std::int64_t resource_entries_total_ = 0;
  std::int64_t resource_bytes_total_ = 0;
  bool resource_size_warned_ = false;

  bool has_base_relocations_ = false;
  bool has_load_config_ = false;
  bool has_dynamic_relocations_ = false;
  bool has_rich_header_ = false;
  std::vector<std::uint32_t> rich_values_;
};

}  // namespace ember
