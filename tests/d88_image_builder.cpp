#include "tests/d88_image_builder.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace {

// The layout is written out here with the format's own numbers, independently of the program.
constexpr size_t kHeaderBytes = 688;
constexpr size_t kRecordHeaderBytes = 16;

void putLe16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

void putLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  putLe16(bytes, at, value & 0xFFFF);
  putLe16(bytes, at + 2, value >> 16);
}

}  // namespace

D88DiskBuilder& D88DiskBuilder::setName(const std::string& name) {
  name_ = name;
  return *this;
}

D88DiskBuilder& D88DiskBuilder::setMediaType(uint8_t mediaType) {
  mediaType_ = mediaType;
  return *this;
}

D88DiskBuilder& D88DiskBuilder::addTrack(int32_t track, std::vector<SectorRecord> records) {
  tracks_.emplace_back(track, std::move(records));
  return *this;
}

D88DiskBuilder& D88DiskBuilder::setTrackOffset(int32_t track, uint32_t offset) {
  trackOffsetOverrides_[track] = offset;
  return *this;
}

D88DiskBuilder& D88DiskBuilder::setDiskSize(uint32_t diskSize) {
  hasDiskSizeOverride_ = true;
  diskSizeOverride_ = diskSize;
  return *this;
}

std::vector<uint8_t> encodeSectorRecord(const SectorRecord& record) {
  // Sized once for header and data: the record never grows after it is made.
  std::vector<uint8_t> bytes(kRecordHeaderBytes + record.data.size(), 0);
  bytes[0] = record.c;
  bytes[1] = record.h;
  bytes[2] = record.r;
  bytes[3] = record.n;
  putLe16(bytes, 4, record.sectorCount);
  const auto stated = record.statedDataSize >= 0 ? static_cast<uint32_t>(record.statedDataSize)
                                                 : static_cast<uint32_t>(record.data.size());
  putLe16(bytes, 14, stated);
  std::copy(record.data.begin(), record.data.end(), bytes.begin() + kRecordHeaderBytes);
  return bytes;
}

std::vector<uint8_t> D88DiskBuilder::build() const {
  std::vector<uint8_t> bytes(kHeaderBytes, 0);
  // Name at 0 (16 bytes), media type at 27, disk size at 28, then 164 track offsets of 4 bytes.
  std::copy_n(name_.begin(), std::min<size_t>(name_.size(), 16), bytes.begin());
  bytes[27] = mediaType_;
  for (const auto& [track, records] : tracks_) {
    if (track >= 0 && track < 164) {
      putLe32(bytes, 32 + static_cast<size_t>(track) * 4, static_cast<uint32_t>(bytes.size()));
    }
    for (const SectorRecord& record : records) {
      const std::vector<uint8_t> encoded = encodeSectorRecord(record);
      bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
  }
  for (const auto& [track, offset] : trackOffsetOverrides_) {
    putLe32(bytes, 32 + static_cast<size_t>(track) * 4, offset);
  }
  putLe32(bytes, 28,
          hasDiskSizeOverride_ ? diskSizeOverride_ : static_cast<uint32_t>(bytes.size()));
  return bytes;
}

std::vector<uint8_t> concatenateDisks(const std::vector<D88DiskBuilder>& disks) {
  std::vector<uint8_t> image;
  for (const D88DiskBuilder& disk : disks) {
    const std::vector<uint8_t> bytes = disk.build();
    image.insert(image.end(), bytes.begin(), bytes.end());
  }
  return image;
}

void writeBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::vector<uint8_t> interleavedOrder(int32_t sectors) {
  std::vector<uint8_t> order;
  const int32_t half = (sectors + 1) / 2;
  for (int32_t i = 1; i <= half; ++i) {
    order.push_back(static_cast<uint8_t>(i));
    if (i + half <= sectors) {
      order.push_back(static_cast<uint8_t>(i + half));
    }
  }
  return order;
}

std::vector<SectorRecord> makeTrack(int32_t track, const std::vector<uint8_t>& order,
                                    uint8_t sizeCode, const std::vector<uint8_t>& flat,
                                    size_t firstByte) {
  const size_t length = size_t{128} << sizeCode;
  std::vector<SectorRecord> records;
  for (uint8_t r : order) {
    SectorRecord record;
    record.c = static_cast<uint8_t>(track / 2);
    record.h = static_cast<uint8_t>(track % 2);
    record.r = r;
    record.n = sizeCode;
    record.sectorCount = static_cast<uint16_t>(order.size());
    const size_t from = firstByte + (r - 1u) * length;
    record.data.assign(length, kFillerByte);
    if (from < flat.size()) {
      std::copy_n(flat.begin() + static_cast<std::ptrdiff_t>(from),
                  std::min(length, flat.size() - from), record.data.begin());
    }
    records.push_back(std::move(record));
  }
  return records;
}

D88DiskBuilder diskFromFlatData(const std::vector<uint8_t>& flat, int32_t sectorsPerTrack,
                                uint8_t sizeCode, const std::vector<uint8_t>& order) {
  const size_t trackLength = (size_t{128} << sizeCode) * static_cast<size_t>(sectorsPerTrack);
  D88DiskBuilder disk;
  int32_t track = 0;
  for (size_t from = 0; from < flat.size(); from += trackLength) {
    disk.addTrack(track, makeTrack(track, order, sizeCode, flat, from));
    ++track;
  }
  return disk;
}

void writeChunk(std::vector<uint8_t>& flat, int32_t firstBlock, int32_t blockCount,
                uint16_t lastOffset, uint8_t seed) {
  constexpr size_t kBlockBytes = 1024;
  constexpr size_t kTailBytes = 3;
  const size_t start = static_cast<size_t>(firstBlock) * kBlockBytes;
  const size_t length = static_cast<size_t>(blockCount) * kBlockBytes;
  for (size_t i = 0; i < length; ++i) {
    // Never zero, so that only the tail written below ends the chunk.
    flat.at(start + i) = static_cast<uint8_t>(1 + (seed + i * 7) % 251);
  }
  const uint16_t table[] = {0x10, 0x20, 0x30, 0x40, 0x50, lastOffset};
  for (size_t word = 0; word < 6; ++word) {
    putLe16(flat, start + 2 * word, table[word]);
  }
  std::fill_n(flat.begin() + static_cast<std::ptrdiff_t>(start + length - kTailBytes), kTailBytes,
              uint8_t{0});
}
