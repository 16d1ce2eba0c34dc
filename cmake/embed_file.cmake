# cmake -DINPUT=file -DOUTPUT=header -P embed_file.cmake
# Writes a header that holds INPUT's bytes as `kPageData` and its length as
# `kPageSize`. The bytes are written as numbers, so no content can end the
# literal early.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from api/page.html at build time; do not edit.\n#pragma once\n#include <cstddef>\n\ninline constexpr unsigned char kPageData[] = {\n${bytes}0x00};\ninline constexpr std::size_t kPageSize = ${size};\n")
