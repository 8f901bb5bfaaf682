#include "tool/chunk_scanner.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "tool/image_buffer.h"

namespace {

// Thirteen blocks whose first one holds the offset table; every tail is zero except those of
// the blocks listed.
std::vector<uint8_t> blocksWithTable(std::initializer_list<uint16_t> words,
                                     std::initializer_list<int32_t> nonZeroTails) {
  std::vector<uint8_t> blocks(size_t{13} * kBlockSize, 0x5A);
  for (int32_t block = 0; block < 13; ++block) {
    for (int32_t i = 1; i <= 3; ++i) {
      blocks[static_cast<size_t>((block + 1) * kBlockSize - i)] = 0;
    }
  }
  size_t at = 0;
  for (uint16_t word : words) {
    blocks[at++] = static_cast<uint8_t>(word & 0xFF);
    blocks[at++] = static_cast<uint8_t>(word >> 8);
  }
  for (int32_t block : nonZeroTails) {
    blocks[static_cast<size_t>((block + 1) * kBlockSize - 2)] = 1;
  }
  return blocks;
}

TEST(ChunkBlockCount, OffsetTableAndExtent) {
  const struct {
    const char* what;
    std::vector<uint8_t> blocks;
    int32_t count;
  } cases[] = {
      {"one block", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, {}), 1},
      {"first offset 0", blocksWithTable({0x00, 0x20, 0x30, 0x40, 0x50, 0x60}, {}), 1},
      {"first offset 0x0FF0", blocksWithTable({0xFF0, 0x1000, 0x1001, 0x1002, 0x1003, 0x1004}, {}),
       5},
      {"last offset 0x0C00", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x0C00}, {}), 4},
      {"tails before the last offset are not looked at",
       blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x0C00}, {0, 1, 2}), 4},
      {"non-zero tails extend it", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x0800}, {2, 3}),
       5},
      {"twelve blocks", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x2FFF}, {}), 12},
      {"reaching twelve blocks through tails",
       blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x2000}, {8, 9, 10}), 12},
      {"last offset 0x3000", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x3000}, {}), 0},
      {"last offset 0xFFFF", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0xFFFF}, {}), 0},
      {"no zero tail up to block 11",
       blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x50, 0x2000}, {8, 9, 10, 11}), 0},
      {"first offset not a multiple of 16",
       blocksWithTable({0x08, 0x20, 0x30, 0x40, 0x50, 0x60}, {}), 0},
      {"first offset 0x1000", blocksWithTable({0x1000, 0x1010, 0x1020, 0x1030, 0x1040, 0x1050}, {}),
       0},
      {"equal neighbours", blocksWithTable({0x10, 0x20, 0x30, 0x30, 0x50, 0x60}, {}), 0},
      {"falling last pair", blocksWithTable({0x10, 0x20, 0x30, 0x40, 0x60, 0x50}, {}), 0},
      {"all zero", std::vector<uint8_t>(size_t{13} * kBlockSize, 0), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chunkBlockCount(c.blocks.data()), c.count) << c.what;
  }
}

}  // namespace
