// The chunk scan: finds the chunks in an assembled disk and writes each to a numbered file.
#pragma once

#include <cstdint>

// Blocks 0 to kScannedBlocks - 1 are tested for the start of a chunk.
constexpr int32_t kScannedBlocks = 390;
// A chunk is at most this many blocks long.
constexpr int32_t kMaxChunkBlocks = 12;

// Tests every scanned block of imageBuffer for a chunk start; for each chunk prints its file name
// on standard output, advances fileCounter and writes the file. Returns whether every chunk
// file was written.
bool scanChunks(const uint8_t* imageBuffer, int32_t& fileCounter);

// Number of blocks of the chunk that starts at block, or 0 when the block starts no chunk.
// Reads at most kMaxChunkBlocks blocks from block on.
int32_t chunkBlockCount(const uint8_t* block);
