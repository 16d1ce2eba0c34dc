// Hexadecimal and text conversions. Hex is always lower case. The UTF-8 to
// wide (UTF-32 here) conversions never fail: malformed input becomes U+FFFD.
// File names are not converted at all on this platform (see file_system.h);
// these functions serve text, not paths.
#pragma once

#include <string>
#include <string_view>

#include "platform/bytes.h"

std::string to_hex(ByteSpan bytes);
// Parses exactly 2n hex digits (either case) into n bytes; false on anything else.
bool from_hex(std::string_view hex, Bytes& out);

std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);

bool is_valid_utf8(std::string_view s);
// The text with every malformed UTF-8 sequence replaced by U+FFFD; valid text is returned unchanged.
std::string display_utf8(std::string_view s);
