// DER reader and Authenticode layers under arbitrary bytes: every failure is
// a ParseFail, nothing reads out of bounds, and the summary never throws.
#include <cstddef>
#include <cstdint>

#include "ember/authenticode.h"
#include "ember/der_reader.h"

namespace {

// Visits the tree with every conversion the signature layer applies.
void walk(const ember::DerElement& e, int depth) {
  if (e.total_length < e.content.size()) __builtin_trap();
  try { ember::der_oid(e); } catch (const ember::ParseFail&) {}
  try { ember::der_time(e); } catch (const ember::ParseFail&) {}
  try { ember::der_string(e); } catch (const ember::ParseFail&) {}
  try { ember::der_octets(e); } catch (const ember::ParseFail&) {}
  try { ember::parse_name(e); } catch (const ember::ParseFail&) {}
  try { ember::parse_certificate(e); } catch (const ember::ParseFail&) {}
  try { ember::check_tree(e, 0, true); } catch (const ember::ParseFail&) {}
  if (!e.constructed || depth > 8) return;
  try {
    for (const ember::DerElement& c : ember::der_children(e)) walk(c, depth + 1);
  } catch (const ember::ParseFail&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan in(data, size);
  try {
    const ember::DerElement e = ember::der_read(in);
    if (e.total_length > size) __builtin_trap();
    walk(e, 0);
    try {
      ember::parse_signed_data(e, ember::SignedDataMode::authenticode);
    } catch (const ember::ParseFail&) {
    }
  } catch (const ember::ParseFail&) {
  }
  const ember::AuthenticodeSummary table = ember::certificate_table_summary(in, 0);
  if (table.values[ember::AuthenticodeSummary::kSignatureCount] > static_cast<double>(size)) __builtin_trap();
  ember::authenticode_summary(in, 0);
  return 0;
}
