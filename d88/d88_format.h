// The D88 floppy-disk image format: the numbers it fixes, the records it is made of, and the
// little-endian decoding of its fields.
#pragma once

#include <cstdint>

// An image holds at most this many disks back to back.
constexpr int32_t kMaxDisks = 64;
// A disk header's track table has this many entries.
constexpr int32_t kMaxTracks = 164;

// Disk header layout.
constexpr int32_t kDiskHeaderSize = 688;
constexpr int32_t kDiskNameOffset = 0;
constexpr int32_t kDiskNameLength = 16;
constexpr int32_t kMediaTypeOffset = 27;
constexpr int32_t kDiskSizeOffset = 28;
constexpr int32_t kTrackTableOffset = 32;
constexpr int32_t kTrackEntrySize = 4;

// Sector header layout; the sector's data follows the header directly.
constexpr int32_t kSectorHeaderSize = 16;
constexpr int32_t kSectorCylinderOffset = 0;
constexpr int32_t kSectorHeadOffset = 1;
constexpr int32_t kSectorNumberOffset = 2;
constexpr int32_t kSectorSizeCodeOffset = 3;
constexpr int32_t kSectorCountOffset = 4;
constexpr int32_t kSectorDataSizeOffset = 14;

// The data size field is 16 bits wide, so no sector holds more than this.
constexpr int32_t kMaxSectorDataSize = 0xFFFF;
// A size code N stands for 128 << N bytes.
constexpr int32_t kSectorLengthBase = 128;
// From this size code on, 128 << N no longer fits a signed 32-bit length.
constexpr int32_t kFirstOversizedSizeCode = 24;
// Stands for the nominal length of an oversized size code: larger than any 32-bit request.
constexpr int64_t kOversizedSectorLength = int64_t{1} << 31;

// A sector's recorded ID, in the order the four bytes stand in its sector header.
struct SectorId {
  uint8_t c;  // cylinder
  uint8_t h;  // head
  uint8_t r;  // sector number
  uint8_t n;  // size code
};
constexpr int32_t kSectorIdSize = 4;

// Every multi-byte field is unsigned little-endian; assembling it byte by byte keeps the result
// independent of the host's byte order and of alignment.
inline uint16_t readLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t readLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Nominal data length of a sector with the given size code, 128 * 2^N. Size codes whose length
// does not fit a signed 32-bit number give kOversizedSectorLength; negative ones give 0.
inline int64_t nominalSectorLength(int32_t sizeCode) {
  if (sizeCode < 0) {
    return 0;
  }
  if (sizeCode >= kFirstOversizedSizeCode) {
    return kOversizedSectorLength;
  }
  return int64_t{kSectorLengthBase} << sizeCode;
}
