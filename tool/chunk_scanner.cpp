#include "tool/chunk_scanner.h"

#include <cstddef>

#include "d88/d88_format.h"
#include "tool/chunk_file.h"
#include "tool/image_buffer.h"

namespace {

// A chunk opens with a table of this many ascending 16-bit offsets.
constexpr int32_t kOffsetTableWords = 6;
// The first offset must be a multiple of 16 below 4,096.
constexpr uint32_t kFirstOffsetMask = 0xF00F;
// An offset divided by the block size (shifted right by this) gives a block number.
constexpr int32_t kBlockShift = 10;
// A block whose last bytes are all zero ends a chunk.
constexpr int32_t kTailSize = 3;

constexpr int32_t kOffsetWordSize = 2;

uint16_t offsetWord(const uint8_t* block, int32_t word) {
  return readLe16(block + static_cast<std::ptrdiff_t>(word) * kOffsetWordSize);
}

const uint8_t* blockAt(const uint8_t* first, int32_t index) {
  return first + static_cast<std::ptrdiff_t>(index) * kBlockSize;
}

bool opensWithOffsetTable(const uint8_t* block) {
  if ((offsetWord(block, 0) & kFirstOffsetMask) != 0) {
    return false;
  }
  for (int32_t word = 1; word < kOffsetTableWords; ++word) {
    if (offsetWord(block, word - 1) >= offsetWord(block, word)) {
      return false;
    }
  }
  return true;
}

bool hasZeroTail(const uint8_t* block) {
  for (int32_t i = kBlockSize - kTailSize; i < kBlockSize; ++i) {
    if (block[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t chunkBlockCount(const uint8_t* block) {
  if (!opensWithOffsetTable(block)) {
    return 0;
  }
  // The last offset points into the chunk's last block or before it; from there on the first
  // block with a zero tail ends the chunk.
  int32_t extent = offsetWord(block, kOffsetTableWords - 1) >> kBlockShift;
  while (extent < kMaxChunkBlocks && !hasZeroTail(blockAt(block, extent))) {
    ++extent;
  }
  return extent < kMaxChunkBlocks ? extent + 1 : 0;
}

bool scanChunks(const uint8_t* imageBuffer, int32_t& fileCounter) {
  bool allWritten = true;
  for (int32_t blockIndex = 0; blockIndex < kScannedBlocks; ++blockIndex) {
    const uint8_t* block = blockAt(imageBuffer, blockIndex);
    const int32_t blockCount = chunkBlockCount(block);
    if (blockCount == 0) {
      continue;
    }
    // A chunk's blocks are scanned too: one inside it may start a further, overlapping chunk.
    char fileName[kChunkFileNameCapacity];
    formatChunkFileName(fileName, fileCounter);
    ++fileCounter;
    if (!writeChunkFile(fileName, block, static_cast<size_t>(blockCount) * kBlockSize)) {
      allWritten = false;
    }
  }
  // The buffer changes with the next disk, so every file of this one is finished first.
  return finishChunkFiles() && allWritten;
}
