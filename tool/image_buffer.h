// The flat buffer that track assembly fills with a disk's data and the chunk scan reads.
#pragma once

#include <cstdint>

constexpr int32_t kBlockSize = 1024;
constexpr int32_t kImageBufferBlocks = 500;
constexpr int32_t kImageBufferSize = kBlockSize * kImageBufferBlocks;
