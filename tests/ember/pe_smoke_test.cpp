#include <gtest/gtest.h>

#include "ember/pe.h"

TEST(PESmoke, TinyInputThrows) {
  const Bytes b(10, 0);
  EXPECT_THROW(ember::PE pe{ByteSpan(b)}, ember::PEFormatError);
}
