#include "d88/d88_reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

namespace {

// Large enough that a track walk, which may seek back to the start of its track for every
// sector, almost never leaves the buffered part of the file.
constexpr size_t kStreamBufferSize = size_t{1} << 20;

// No sector record states a number of sectors above this, so a walk that goes on longer is
// running through data that is not a track.
constexpr int32_t kMaxRecordsPerWalk = 0xFFFF;

// Forward moves of up to this many bytes read over the bytes instead of seeking: enough for the
// data of any common sector.
constexpr int32_t kMaxSkipByReading = 8192;

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
  if (!streamBuffer) {
    // Left uninitialised: the stream fills it before anything reads from it.
    streamBuffer.reset(new char[kStreamBufferSize]);
  }
  // Should the stream refuse the buffer, it keeps its own: slower, but just as correct.
  (void)std::setvbuf(file, streamBuffer.get(), _IOFBF, kStreamBufferSize);

  // Each disk header is read on its own, past the stream's buffer: filling the buffer for every
  // one would read most of a large image to count its disks.
  uint8_t header[kDiskHeaderSize];
  int64_t position = 0;
  while (diskCount < kMaxDisks) {
    diskOffsets[diskCount] = static_cast<int32_t>(position);
    int error = 0;
    const size_t got = readStreamAt(file, position, header, sizeof header, error);
    if (error != 0) {
      noteReadError(error);
    }
    if (got < sizeof header) {
      break;
    }
    if (diskCount == 0) {
      std::copy(header, header + kDiskHeaderSize, firstDiskHeader);
    }
    ++diskCount;
    position += readLe32(header + kDiskSizeOffset);
    // The next disk would start beyond the positions the reader handles.
    if (position > kMaxFilePosition) {
      break;
    }
  }
  // The stream itself has not moved; its first read seeks.
  streamPosition = -1;
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
  if (index < 0 || index >= diskCount) {
    return false;
  }
  uint8_t header[kDiskHeaderSize];
  // A header cut short can only mean the file changed since it was opened.
  if (!seekTo(diskOffsets[index]) || !readExactly(header, kDiskHeaderSize)) {
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

bool D88Reader::seekTo(int64_t position) {
  if (position < 0 || position > kMaxFilePosition) {
    return false;
  }
  // A walk moves forward by one sector's data at a time. Reading over those few bytes is served
  // by the stream's buffer, while every seek costs a system call even when the buffer holds the
  // target.
  if (streamPosition >= 0 && position >= streamPosition &&
      position - streamPosition <= kMaxSkipByReading) {
    uint8_t skipped[kMaxSkipByReading];
    const auto distance = static_cast<int32_t>(position - streamPosition);
    return readSome(skipped, distance) == distance;
  }
  std::clearerr(file);
  if (std::fseek(file, static_cast<long>(position), SEEK_SET) != 0) {
    // The position is never negative: a block device refuses one beyond its end, where a
    // regular file holding the same bytes would simply give no more. That is a damaged image,
    // not a failure of the system.
    if (errno != EINVAL) {
      noteReadError(errno);
    }
    streamPosition = -1;
    return false;
  }
  streamPosition = position;
  return true;
}

int32_t D88Reader::readSome(uint8_t* dest, int32_t size) {
  const auto wanted = static_cast<size_t>(size);
  size_t got = std::fread(dest, 1, wanted, file);
  if (got < wanted && std::ferror(file) != 0) {
    // The system failed the read, which is not the end of the file. A disk or a network share
    // that fails now and then may deliver on a second try from where the read stopped.
    int error = errno;
    std::clearerr(file);
    const int64_t resumeAt = streamPosition + static_cast<int64_t>(got);
    const bool retried =
        streamPosition >= 0 && std::fseek(file, static_cast<long>(resumeAt), SEEK_SET) == 0;
    if (retried) {
      got += std::fread(dest + got, 1, wanted - got, file);
      error = errno;
    }
    if (!retried || std::ferror(file) != 0) {
      noteReadError(error);
      // The stream's position is unknown now; the next move seeks.
      streamPosition = -1;
      return static_cast<int32_t>(got);
    }
  }
  streamPosition += static_cast<int64_t>(got);
  return static_cast<int32_t>(got);
}

void D88Reader::noteReadError(int error) {
  // Not every library says why; a read that failed is an input/output error all the same.
  if (readError == 0) {
    readError = error != 0 ? error : EIO;
  }
}

bool D88Reader::readExactly(uint8_t* dest, int32_t size) {
  return readSome(dest, size) == size;
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
    if (!seekTo(position) || !readExactly(bytes, kSectorHeaderSize)) {
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
    if (!seekTo(position) || !readExactly(bytes, kSectorHeaderSize)) {
      return 0;
    }
    const SectorHeader header = decodeSectorHeader(bytes);
    if (header.sectorCount == 0) {
      return 0;
    }
    if (matchesId(header, c, h, r, n)) {
      // The stream stands right after the header, at the sector's data.
      const int32_t wanted = std::min(header.dataSize, maxBytes);
      if (wanted == 0) {
        return 0;
      }
      return readSome(dest, wanted);
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
