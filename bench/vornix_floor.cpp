// The floor the benchmark holds vornix against: the same extraction done the cheapest way, with
// no care for damaged images or odd files. The whole image is read into memory at once, each of
// a disk's first 80 tracks walked once, and every chunk written with one open, one write and one
// close, the fewest system calls a file can take.
// Usage: vornix_floor IMAGE (a well-formed image: nothing in it is checked)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "d88/d88_format.h"
#include "tool/chunk_file.h"
#include "tool/chunk_scanner.h"
#include "tool/image_buffer.h"
#include "tool/track_assembly.h"

namespace {

constexpr int32_t kProcessedDisks = 2;

struct Sector {
  uint8_t r;
  const uint8_t* data;
  size_t size;
};

uint8_t imageBuffer[kImageBufferSize];

void assemble(const uint8_t* disk) {
  const uint32_t diskSize = readLe32(disk + kDiskSizeOffset);
  size_t position = 0;
  for (int32_t track = 0; track < kAssembledTracks; ++track) {
    const uint32_t offset =
        readLe32(disk + kTrackTableOffset + static_cast<std::ptrdiff_t>(track) * kTrackEntrySize);
    if (offset == 0 || offset > diskSize) {
      continue;
    }
    Sector sectors[kIdsPerTrack];
    int32_t count = 0;
    for (const uint8_t* record = disk + offset; count < kIdsPerTrack;) {
      const uint16_t dataSize = readLe16(record + kSectorDataSizeOffset);
      const auto nominal = static_cast<size_t>(nominalSectorLength(record[kSectorSizeCodeOffset]));
      sectors[count] = {record[kSectorNumberOffset], record + kSectorHeaderSize,
                        std::min<size_t>(dataSize, nominal)};
      ++count;
      if (count == readLe16(record + kSectorCountOffset)) {
        break;
      }
      record += kSectorHeaderSize + dataSize;
    }
    std::stable_sort(sectors, sectors + count,
                     [](const Sector& left, const Sector& right) { return left.r < right.r; });
    for (int32_t i = 0; i < count; ++i) {
      const size_t size = std::min(sectors[i].size, sizeof imageBuffer - position);
      std::memcpy(imageBuffer + position, sectors[i].data, size);
      position += size;
    }
  }
}

void writeChunks(int32_t& fileCounter) {
  for (int32_t block = 0; block < kScannedBlocks; ++block) {
    const uint8_t* start = imageBuffer + static_cast<size_t>(block) * kBlockSize;
    const int32_t blocks = chunkBlockCount(start);
    if (blocks == 0) {
      continue;
    }
    char name[kChunkFileNameCapacity];
    formatChunkFileName(name, fileCounter++);
    std::printf("%s\n", name);
    const int out = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    // Nothing is checked here; the benchmark compares the files afterwards.
    const ssize_t written = write(out, start, static_cast<size_t>(blocks) * kBlockSize);
    (void)written;
    (void)close(out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: vornix_floor IMAGE\n", stderr);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    return 1;
  }
  std::vector<uint8_t> image;
  uint8_t part[1 << 20];
  for (size_t got = 0; (got = std::fread(part, 1, sizeof part, in)) > 0;) {
    image.insert(image.end(), part, part + got);
  }
  (void)std::fclose(in);

  int32_t fileCounter = 0;
  size_t diskStart = 0;
  for (int32_t disk = 0; disk < kProcessedDisks && diskStart + kDiskHeaderSize <= image.size();
       ++disk) {
    assemble(image.data() + diskStart);
    writeChunks(fileCounter);
    diskStart += readLe32(image.data() + diskStart + kDiskSizeOffset);
  }
  return 0;
}
