// Feed parser under arbitrary bytes: it must refuse or accept without reading
// out of bounds, and an accepted feed must answer lookups consistently.
#include <cstddef>
#include <cstdint>

#include "av/signature_db.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  av::SignatureDB db;
  std::string error;
  if (db.load_bytes(ByteSpan(data, size), &error)) {
    Digest d{};
    for (std::size_t i = 0; i < d.size() && i < size; ++i) d[i] = data[size - 1 - i];
    std::string name;
    db.lookup(d, name);
    if (db.count() > 16000000) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();  // every refusal carries its reason
  }
  return 0;
}
