#include "d88/d88_reader.h"

#include <algorithm>
#include <climits>
#include <cstddef>

namespace {

// No sector record states a number of sectors above this, so a walk that goes on longer is
// running through data that is not a track.
constexpr int32_t kMaxRecordsPerWalk = 0xFFFF;

// Positions are kept in 64 bits; an image beyond 2^31 bytes is outside what the reader handles.
constexpr int64_t kMaxFilePosition = INT32_MAX;

struct SectorHeader {
  uint8_t c;
  uint8_t h;
  uint8_t r;
  uint8_t n;
  int32_t sectorCount;
  int32_t dataSize;
};

SectorHeader decodeSectorHeader(const uint8_t* bytes) {
  SectorHeader header{};
  header.c = bytes[kSectorCylinderOffset];
  header.h = bytes[kSectorHeadOffset];
  header.r = bytes[kSectorNumberOffset];
  header.n = bytes[kSectorSizeCodeOffset];
  header.sectorCount = readLe16(bytes + kSectorCountOffset);
  header.dataSize = readLe16(bytes + kSectorDataSizeOffset);
  return header;
}

// The header's number of sectors says which record is the track's last; a count of 0 never
// marks one.
bool isLastRecord(int32_t recordIndex, const SectorHeader& header) {
  return recordIndex == header.sectorCount - 1;
}

bool matchesId(const SectorHeader& header, int32_t c, int32_t h, int32_t r, int32_t n) {
  return header.c == c && header.h == h && header.r == r && header.n == n;
}

}  // namespace

D88Reader::~D88Reader() {
  closeFile();
}

void D88Reader::closeFile() {
  if (file != nullptr) {
    // Nothing is written through this stream, so closing it cannot lose data.
    (void)std::fclose(file);
    file = nullptr;
  }
  diskCount = 0;
  diskIndex = -1;
  mediaType = -1;
}

void D88Reader::clearCurrentDisk() {
  diskOffset = -1;
  diskIndex = -1;
  mediaType = -1;
  diskSize = 0;
  name[0] = '\0';
}

bool D88Reader::open(const char* path) {
  closeFile();
  if (path == nullptr) {
    return true;
  }
  // A disk of the previous image must not stay current on the new one.
  clearCurrentDisk();

  // Disks and tracks are found by moving back and forth in the file; a pipe or a FIFO cannot
  // do that, and reading one only as far as it goes would pass a truncated image off as whole.
  file = openImageStream(path);
  if (file == nullptr) {
    return false;
  }
  readError = 0;

  // Each disk header is read on its own, straight from the file: counting the disks reads none
  // of their tracks.
  uint8_t header[kDiskHeaderSize];
  int64_t position = 0;
  while (diskCount < kMaxDisks) {
    diskOffsets[diskCount] = static_cast<int32_t>(position);
    int error = 0;
    const size_t got = readImageRetrying(file, position, header, sizeof header, error);
    // Without this header the next disk's start is unknown: the list ends here, and a failure
    // is reported.
    noteReadError(error);
    if (got < sizeof header) {
      break;
    }
    if (diskCount == 0) {
      std::copy(header, header + kDiskHeaderSize, firstDiskHeader);
    }
    diskSizes[diskCount] = static_cast<int32_t>(readLe32(header + kDiskSizeOffset));
    ++diskCount;
    position += readLe32(header + kDiskSizeOffset);
    // The next disk would start beyond the positions the reader handles.
    if (position > kMaxFilePosition) {
      break;
    }
  }
  return true;
}

bool D88Reader::getImageLikeness(uint64_t& size, const uint8_t*& firstHeader) const {
  if (diskCount == 0 || !measureStream(file, size)) {
    return false;
  }
  firstHeader = firstDiskHeader;
  return true;
}

bool D88Reader::selectDisk(int32_t index) {
  if (file == nullptr) {
    return false;
  }
  clearCurrentDisk();
  diskReadError = 0;
  if (index < 0 || index >= diskCount) {
    return false;
  }
  // The disk's blocks are read afresh: the header is read again with the first tracks, and
  // the file may have changed since it was opened.
  const int64_t start = diskOffsets[index];
  cache.restart(start, start + diskSizes[index]);
  uint8_t header[kDiskHeaderSize];
  // A header cut short can only mean the file changed since it was opened.
  if (readAt(start, header, kDiskHeaderSize) != kDiskHeaderSize) {
    return false;
  }
  for (int32_t track = 0; track < kMaxTracks; ++track) {
    // Offsets of 2^31 and more become negative here and count as absent tracks.
    trackOffsets[track] = static_cast<int32_t>(readLe32(
        header + kTrackTableOffset + static_cast<std::ptrdiff_t>(track) * kTrackEntrySize));
  }
  mediaType = header[kMediaTypeOffset];
  diskSize = static_cast<int32_t>(readLe32(header + kDiskSizeOffset));
  int32_t length = 0;
  while (length < kDiskNameLength && header[kDiskNameOffset + length] != 0) {
    name[length] = static_cast<char>(header[kDiskNameOffset + length]);
    ++length;
  }
  std::fill(name + length, name + kDiskNameLength + 1, '\0');
  diskOffset = diskOffsets[index];
  diskIndex = index;
  return true;
}

int64_t D88Reader::trackStart(int32_t track) const {
  if (file == nullptr || diskOffset < 0 || track < 0 || track >= kMaxTracks) {
    return -1;
  }
  const int32_t offset = trackOffsets[track];
  if (offset <= 0 || offset > diskSize) {
    return -1;
  }
  return int64_t{diskOffset} + offset;
}

int32_t D88Reader::readAt(int64_t position, uint8_t* dest, int32_t size) {
  if (position < 0 || position > kMaxFilePosition) {
    return 0;
  }
  int error = 0;
  const int32_t got = cache.read(file, position, dest, size, error);
  noteReadError(error);
  return got;
}

void D88Reader::noteReadError(int error) {
  if (readError == 0) {
    readError = error;
  }
  if (diskReadError == 0) {
    diskReadError = error;
  }
}

int32_t D88Reader::listSectorIds(int32_t track, uint8_t* ids, int32_t capacity) {
  int64_t position = trackStart(track);
  if (position < 0) {
    return 0;
  }
  int32_t written = 0;
  uint8_t bytes[kSectorHeaderSize];
  // Only whole IDs are written, whatever capacity the caller passes.
  for (int32_t record = 0; capacity - written >= kSectorIdSize; ++record) {
    if (readAt(position, bytes, kSectorHeaderSize) != kSectorHeaderSize) {
      break;
    }
    const SectorHeader header = decodeSectorHeader(bytes);
    ids[written] = header.c;
    ids[written + 1] = header.h;
    ids[written + 2] = header.r;
    ids[written + 3] = header.n;
    written += kSectorIdSize;
    position += kSectorHeaderSize + header.dataSize;
    if (isLastRecord(record, header)) {
      break;
    }
  }
  return written;
}

int32_t D88Reader::readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                              uint8_t* dest, int32_t maxBytes) {
  int64_t position = trackStart(track);
  if (position < 0 || maxBytes < 0) {
    return 0;
  }
  uint8_t bytes[kSectorHeaderSize];
  for (int32_t record = 0; record < kMaxRecordsPerWalk; ++record) {
    if (readAt(position, bytes, kSectorHeaderSize) != kSectorHeaderSize) {
      return 0;
    }
    const SectorHeader header = decodeSectorHeader(bytes);
    if (header.sectorCount == 0) {
      return 0;
    }
    if (matchesId(header, c, h, r, n)) {
      const int32_t wanted = std::min(header.dataSize, maxBytes);
      return readAt(position + kSectorHeaderSize, dest, wanted);
    }
    position += kSectorHeaderSize + header.dataSize;
    if (isLastRecord(record, header)) {
      return 0;
    }
  }
  return 0;
}

int32_t D88Reader::readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                               uint8_t* dest, int32_t total) {
  // No sector header can carry a size code outside one byte, so such a run finds nothing.
  if (total <= 0 || n < 0 || n > UINT8_MAX) {
    return 0;
  }
  const int64_t sectorLength = nominalSectorLength(n);
  int32_t done = 0;
  while (done < total) {
    const auto step = static_cast<int32_t>(std::min<int64_t>(sectorLength, total - done));
    if (readSector(track, c, h, r, n, dest + done, step) < step) {
      return done;
    }
    done += step;
    // A successful read means track, c and r were in range, so stepping them cannot overflow.
    if (r == lastSector) {
      ++track;
      if (h == 0) {
        h = 1;
      } else {
        h = 0;
        ++c;
      }
      r = firstSector;
    } else {
      ++r;
    }
  }
  return done;
}

void D88Reader::setSectorRange(int32_t first, int32_t last) {
  firstSector = first;
  lastSector = last;
}
