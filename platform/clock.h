// Time stamps: signed milliseconds since 1970-01-01 UTC, and a monotonic clock
// for intervals and sleeps.
#pragma once

#include <cstdint>

std::int64_t now_ms();
std::int64_t monotonic_ms();
