// Random tokens from the operating system's cryptographically secure generator.
// A failed draw throws std::runtime_error; no weaker source is ever substituted.
#pragma once

#include <cstddef>
#include <string>

#include "platform/bytes.h"

Bytes random_bytes(std::size_t n);
// 2n lower-case hexadecimal characters from n random bytes.
std::string random_hex(std::size_t n);
