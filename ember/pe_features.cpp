#include "ember/pe_features.h"

namespace ember {

// No PE parser is built into the program yet, so no input is accepted as PE
// and every PE group stays zero.
bool extract_pe_groups(ByteSpan, std::span<float>, FeatureInfo&) { return false; }

}  // namespace ember
