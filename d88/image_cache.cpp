#include "d88/image_cache.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

size_t readImageRetrying(std::FILE* file, int64_t offset, uint8_t* dest, size_t size, int& error) {
  error = 0;
  size_t got = readImageAt(file, offset, dest, size, error);
  if (error != 0) {
    // A disk or a network share that fails now and then may deliver on a second try.
    error = 0;
    got += readImageAt(file, offset + static_cast<int64_t>(got), dest + got, size - got, error);
  }
  return got;
}

void ImageCache::restart(int64_t newOrigin, int64_t newEnd) {
  for (Block& block : blocks) {
    block.valid = false;
  }
  origin = newOrigin;
  end = newEnd;
}

uint8_t* ImageCache::bytesOf(const Block& block) {
  return storage.get() + (&block - blocks) * std::ptrdiff_t{kBlockSize};
}

ImageCache::Block* ImageCache::blockAt(std::FILE* file, int64_t position, int& error) {
  ++uses;
  Block* oldest = blocks;
  for (Block& block : blocks) {
    if (block.valid && position >= block.start && position - block.start < block.span) {
      block.lastUse = uses;
      return &block;
    }
    if (!block.valid || (oldest->valid && block.lastUse < oldest->lastUse)) {
      oldest = &block;
    }
  }
  // Blocks run from the disk's start to its end, then on from its end, where a walk whose
  // counts are wrong runs into whatever follows.
  const int64_t base =
      position < origin ? position : (end > origin && position >= end ? end : origin);
  const int64_t start = base + (position - base) / kBlockSize * kBlockSize;
  int64_t stop = start + kBlockSize;
  if (start < end && stop > end) {
    stop = end;
  }
  if (!storage) {
    // Left uninitialised: only bytes read from the file are ever copied out of it.
    storage.reset(new uint8_t[size_t{kBlockSize} * kBlockCount]);
  }
  Block& block = *oldest;
  block.start = start;
  block.span = static_cast<int32_t>(stop - start);
  block.held = static_cast<int32_t>(
      readImageRetrying(file, start, bytesOf(block), static_cast<size_t>(block.span), error));
  block.lastUse = uses;
  block.valid = error == 0;
  return block.valid || block.held > 0 ? &block : nullptr;
}

int32_t ImageCache::read(std::FILE* file, int64_t position, uint8_t* dest, int32_t size,
                         int& error) {
  int32_t done = 0;
  while (done < size) {
    const int64_t at = position + done;
    const Block* block = blockAt(file, at, error);
    if (block == nullptr) {
      break;
    }
    const int64_t offset = at - block->start;
    if (offset >= block->held) {
      break;  // the end of the file, or as far as a failed read came
    }
    const auto length = static_cast<int32_t>(std::min<int64_t>(size - done, block->held - offset));
    std::memcpy(dest + done, bytesOf(*block) + offset, static_cast<size_t>(length));
    done += length;
    if (!block->valid) {
      break;
    }
  }
  return done;
}
