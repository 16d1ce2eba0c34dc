// PE parser under arbitrary bytes: construction either throws one of the
// parser's own exceptions or yields an object whose every query stays inside
// the input; nothing else may escape and no read may leave the buffer.
#include <cstddef>
#include <cstdint>

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
    if (const auto o = pe.overlay_offset(); o && *o >= size) __builtin_trap();
    if (pe.header_bytes().size() > size) __builtin_trap();
    if (sink == 0xFFFFFFFFu) __builtin_trap();
  } catch (const ember::PEFormatError&) {
  } catch (const ember::NotPE&) {
  }
  return 0;
}
