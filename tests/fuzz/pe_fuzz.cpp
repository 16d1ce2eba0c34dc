// PE parser under arbitrary bytes: construction either throws one of the
// parser's own exceptions or yields an object whose every query stays inside
// the input; nothing else may escape and no read may leave the buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ember/pe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  try {
    ember::PE pe(bytes);
    std::size_t sink = pe.warnings().size();
    for (const auto& s : pe.sections()) {
      const ByteSpan d = s.data();
      if (!d.empty() && (d.data() < data || d.data() + d.size() > data + size)) __builtin_trap();
      sink += s.clean_name().size() + s.contains_rva(s.VirtualAddress);
    }
    for (const auto& d : pe.imports()) sink += d.symbols.size();
    sink += pe.exports().symbols.size() + pe.rich_values().size();
    // Section lookups agree with the sections' own containment tests.
    std::vector<std::int64_t> probes = {0, static_cast<std::int64_t>(size / 2), pe.optional_header().AddressOfEntryPoint};
    for (const auto& d : pe.data_directories()) probes.push_back(d.VirtualAddress);
    for (const auto& s : pe.sections()) probes.push_back(s.VirtualAddress + 1);
    for (const std::int64_t r : probes) {
      const ember::SectionHeader* hit = pe.section_by_rva(r);
      bool any = false;
      for (const auto& s : pe.sections()) any = any || s.contains_rva(r);
      if ((hit != nullptr) != any || (hit && !hit->contains_rva(r))) __builtin_trap();
      const ember::SectionHeader* by_offset = pe.section_by_offset(r);
      if (by_offset && !(by_offset->raw_start() <= r && r < by_offset->raw_start() + by_offset->SizeOfRawData))
        __builtin_trap();
    }
    if (const auto o = pe.overlay_offset(); o && *o >= size) __builtin_trap();
    if (pe.header_bytes().size() > size) __builtin_trap();
    if (sink == 0xFFFFFFFFu) __builtin_trap();
  } catch (const ember::PEFormatError&) {
  } catch (const ember::NotPE&) {
  }
  return 0;
}
