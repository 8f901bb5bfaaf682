// The bytes of the image that the reader's walks go over, read from the file in blocks laid out
// from the current disk's own start and cut at its end, each block read once while it is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// Reads up to size bytes at offset; a read that the system fails is tried once more from where
// it stopped. Returns how many bytes arrived; error is the system's reason when the second try
// failed too, and stays 0 at the end of the file.
size_t readImageRetrying(std::FILE* file, int64_t offset, uint8_t* dest, size_t size, int& error);

class ImageCache {
 public:
  // Forgets every block and lays the next ones out from origin, cut at end (when end is beyond
  // origin), so that no block of a disk reaches into the next one.
  void restart(int64_t origin, int64_t end);

  // Copies up to size bytes of the file from position on; returns how many the file holds
  // there. A block that cannot be read whole is not kept, so that a later read tries again;
  // error is then set as by readImageRetrying.
  int32_t read(std::FILE* file, int64_t position, uint8_t* dest, int32_t size, int& error);

 private:
  struct Block {
    int64_t start = 0;
    // The block's extent, and how much of it the file held (less at the end of the file).
    int32_t span = 0;
    int32_t held = 0;
    uint64_t lastUse = 0;
    bool valid = false;
  };

  // The block that holds position, read from the file when no kept one does; nullptr when
  // nothing at all could be read there.
  Block* blockAt(std::FILE* file, int64_t position, int& error);
  uint8_t* bytesOf(const Block& block);

  // A track's first 16 records, the most any walk of the program goes over, lie in at most 18
  // blocks of 64 KiB: a walk never pushes out a block it comes back to.
  static constexpr int32_t kBlockSize = 64 * 1024;
  static constexpr int32_t kBlockCount = 20;

  Block blocks[kBlockCount];
  // Allocated on the first read and kept for the cache's lifetime.
  std::unique_ptr<uint8_t[]> storage;
  int64_t origin = 0;
  int64_t end = 0;
  uint64_t uses = 0;
};
