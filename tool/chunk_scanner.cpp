#include "tool/chunk_scanner.h"

#include <cstdio>

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

bool opensWithOffsetTable(const uint8_t* block) {
  if ((readLe16(block) & kFirstOffsetMask) != 0) {
    return false;
  }
  for (int32_t word = 1; word < kOffsetTableWords; ++word) {
    if (readLe16(block + 2 * (word - 1)) >= readLe16(block + 2 * word)) {
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
  int32_t extent = readLe16(block + 2 * (kOffsetTableWords - 1)) >> kBlockShift;
  while (extent < kMaxChunkBlocks && !hasZeroTail(block + extent * kBlockSize)) {
    ++extent;
  }
  return extent < kMaxChunkBlocks ? extent + 1 : 0;
}

bool scanChunks(const uint8_t* imageBuffer, int32_t& fileCounter) {
  bool allWritten = true;
  for (int32_t blockIndex = 0; blockIndex < kScannedBlocks; ++blockIndex) {
    const uint8_t* block = imageBuffer + blockIndex * kBlockSize;
    const int32_t blockCount = chunkBlockCount(block);
    if (blockCount == 0) {
      continue;
    }
    // A chunk's blocks are scanned too: one inside it may start a further, overlapping chunk.
    char fileName[kChunkFileNameCapacity];
    formatChunkFileName(fileName, fileCounter);
    std::printf("%s\n", fileName);
    ++fileCounter;
    if (!writeChunkFile(fileName, block, static_cast<size_t>(blockCount) * kBlockSize)) {
      allWritten = false;
    }
  }
  return allWritten;
}
