#include "d88/d88_format.h"

#include <gtest/gtest.h>

TEST(LittleEndian, AssemblesBytesInFileOrderAtAnyAlignment) {
  const uint8_t bytes[] = {0xAA, 0x34, 0x12, 0x78, 0x56, 0xFF};
  EXPECT_EQ(readLe16(bytes + 1), 0x1234);
  EXPECT_EQ(readLe16(bytes + 4), 0xFF56);
  EXPECT_EQ(readLe32(bytes + 1), 0x56781234u);
  EXPECT_EQ(readLe32(bytes + 2), 0xFF567812u);
}

TEST(NominalSectorLength, CoversEverySizeCodeWithoutOverflow) {
  const struct {
    int32_t sizeCode;
    int64_t length;
  } cases[] = {{0, 128},
               {1, 256},
               {3, 1024},
               {8, 32768},
               {23, int64_t{1} << 30},
               {24, kOversizedSectorLength},
               {255, kOversizedSectorLength},
               {-1, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(nominalSectorLength(c.sizeCode), c.length) << "size code " << c.sizeCode;
  }
}
