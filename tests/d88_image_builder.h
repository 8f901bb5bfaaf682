// Builds D88 images field by field for tests, fuzz seeds, the benchmark and the demo image,
// malformed ones included.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One sector record: its header fields and the data that follows the header.
struct SectorRecord {
  uint8_t c = 0;
  uint8_t h = 0;
  uint8_t r = 1;
  uint8_t n = 1;
  uint16_t sectorCount = 1;
  std::vector<uint8_t> data;
  // The data size field; -1 states the real length of data.
  int32_t statedDataSize = -1;
};

class D88DiskBuilder {
 public:
  // Raw name bytes: at most 16 are stored, NUL-padded.
  D88DiskBuilder& setName(const std::string& name);
  D88DiskBuilder& setMediaType(uint8_t mediaType);
  // Appends a track's records; tracks are stored in the order they are added.
  D88DiskBuilder& addTrack(int32_t track, std::vector<SectorRecord> records);
  // Overrides a track table entry or the disk size field with any value.
  D88DiskBuilder& setTrackOffset(int32_t track, uint32_t offset);
  D88DiskBuilder& setDiskSize(uint32_t diskSize);

  std::vector<uint8_t> build() const;

 private:
  std::string name_;
  uint8_t mediaType_ = 0;
  std::vector<std::pair<int32_t, std::vector<SectorRecord>>> tracks_;
  std::map<int32_t, uint32_t> trackOffsetOverrides_;
  bool hasDiskSizeOverride_ = false;
  uint32_t diskSizeOverride_ = 0;
};

// The bytes of a sector record as they stand in an image.
std::vector<uint8_t> encodeSectorRecord(const SectorRecord& record);

// The disks back to back, as one image.
std::vector<uint8_t> concatenateDisks(const std::vector<D88DiskBuilder>& disks);

void writeBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Sector numbers 1..sectors in a 2:1 interleave: 1, 9, 2, 10, ... for 16 sectors.
std::vector<uint8_t> interleavedOrder(int32_t sectors);

// A track of sectors with size code sizeCode and full nominal data, stored in the given order of
// sector numbers; sector r holds the bytes of flat from firstByte + (r - 1) * length on.
std::vector<SectorRecord> makeTrack(int32_t track, const std::vector<uint8_t>& order,
                                    uint8_t sizeCode, const std::vector<uint8_t>& flat,
                                    size_t firstByte);

// A disk whose assembled data is flat: its length is split into tracks of sectorsPerTrack
// sectors, each track stored in the given order of sector numbers.
D88DiskBuilder diskFromFlatData(const std::vector<uint8_t>& flat, int32_t sectorsPerTrack,
                                uint8_t sizeCode, const std::vector<uint8_t>& order);

// The byte that fills free space in a flat disk: no block made of it starts a chunk.
constexpr uint8_t kFillerByte = 0xE5;

// Writes a chunk of blockCount blocks at block firstBlock of flat: an offset table 0x10, 0x20,
// 0x30, 0x40, 0x50, lastOffset, a body with a pattern derived from seed, non-zero tails in all
// but the last block and a zero tail in the last.
void writeChunk(std::vector<uint8_t>& flat, int32_t firstBlock, int32_t blockCount,
                uint16_t lastOffset, uint8_t seed);
