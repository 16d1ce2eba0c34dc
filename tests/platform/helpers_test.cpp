#include <gtest/gtest.h>

#include "platform/encoding.h"
#include "platform/sha256.h"

TEST(Hex, LowerCase) {
  const std::uint8_t b[] = {0xAB};
  EXPECT_EQ(to_hex(ByteSpan(b, 1)), "ab");
}
