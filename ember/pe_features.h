// The eight PE groups of the feature vector (Header, Sections, Imports,
// Exports, Data directories, Rich header, Authenticode, Parser warnings;
// indices kPeGroupsOffset.. of ember/features.h) and the PE facts of
// FeatureInfo. Pure computation; never throws; never reads outside `bytes`.
#pragma once

#include <span>
#include <string_view>

#include "ember/features.h"

namespace ember {

// Parses `bytes` as a PE image. When the parser accepts it: writes the groups
// into `out` (kPeGroupsCount values, all zero on entry, out[0] being index
// kPeGroupsOffset), sets is_pe, kind, is_dll, is_signed, signers,
// section_count, imports and overlay_size of `info`, and returns true.
// Otherwise returns false and leaves `out` and `info` untouched.
bool extract_pe_groups(ByteSpan bytes, std::span<float> out, FeatureInfo& info);

// The index (0-86) of the warning pattern a parser warning falls under, or -1:
// the longest matching suffix pattern, else the longest matching prefix
// pattern, the lower index on equal length.
int warning_pattern(std::string_view warning);

}  // namespace ember
