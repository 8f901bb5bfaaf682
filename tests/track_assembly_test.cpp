#include "tool/track_assembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"
#include "tests/test_support.h"
#include "tool/image_buffer.h"

namespace {

SectorRecord sector(uint8_t r, uint8_t n, std::vector<uint8_t> data, uint16_t count) {
  return SectorRecord{0, 0, r, n, count, std::move(data)};
}

std::vector<uint8_t> filled(size_t length, uint8_t value) {
  return std::vector<uint8_t>(length, value);
}

// Appends length bytes of value.
void appendFilled(std::vector<uint8_t>& to, size_t length, uint8_t value) {
  to.resize(to.size() + length, value);
}

class AssemblyTest : public ::testing::Test {
 protected:
  // Assembles disk 0 of the image into a buffer that starts out as `before` everywhere and has
  // a guard zone after its kImageBufferSize bytes.
  void assemble(const std::vector<uint8_t>& image, uint8_t before = 0) {
    writeBinaryFile(dir.file("image.d88"), image);
    ASSERT_TRUE(reader.open(dir.file("image.d88").c_str()));
    ASSERT_TRUE(reader.selectDisk(0));
    buffer.assign(kImageBufferSize + kGuard, before);
    assembleDisk(reader, buffer.data());
  }

  void expectPrefix(const std::vector<uint8_t>& expected) {
    ASSERT_LE(expected.size(), buffer.size());
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), buffer.begin());
    EXPECT_EQ(mismatch.first, expected.end())
        << "first difference at byte " << (mismatch.first - expected.begin());
  }

  static constexpr size_t kGuard = 70000;
  ScratchDir dir;
  D88Reader reader;
  std::vector<uint8_t> buffer;
};

TEST_F(AssemblyTest, InterleavedSectorsLandInSectorNumberOrder) {
  std::vector<uint8_t> flat(size_t{4} * 16 * 256);
  for (size_t i = 0; i < flat.size(); ++i) {
    flat[i] = static_cast<uint8_t>(i / 256 + i);
  }
  assemble(diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build());
  expectPrefix(flat);
}

TEST_F(AssemblyTest, EachSectorGivesTheSmallerOfDataSizeAndNominalLength) {
  // Track 0: stored out of order, with short, long, duplicate and oversized-code sectors.
  std::vector<SectorRecord> track0 = {
      sector(5, 9, filled(1000, 5), 7),  // size code 9: the data size wins
      sector(2, 1, filled(128, 2), 7),   // shorter than 256
      sector(3, 1, filled(512, 3), 7),   // longer than 256: only 256 taken
      sector(1, 0, filled(128, 1), 7),   // size code 0
      sector(4, 1, filled(256, 4), 7),   // duplicate ID: the first record's data twice
      sector(4, 1, filled(256, 0x44), 7),
      sector(6, 8, filled(40000, 6), 7),  // size code 8: 32,768 of its 40,000 bytes
  };
  // Track 1 is absent; track 2 has a count of 0 and gives nothing; track 3 has 26 sectors
  // stored 26, 25, ... of which only the first 16 records (R 26 down to 11) take part. Track 4
  // lists 2 IDs, fewer than track 3: track 3's IDs left in the list (R 13 among them) stay out.
  std::vector<SectorRecord> track2 = {sector(1, 1, filled(256, 0x20), 0)};
  std::vector<SectorRecord> track3;
  for (uint8_t r = 26; r >= 1; --r) {
    track3.push_back(sector(r, 0, filled(128, r), 26));
  }
  const std::vector<SectorRecord> track4 = {sector(13, 0, filled(128, 0x4D), 2),
                                            sector(12, 0, filled(128, 0x4C), 2)};
  assemble(D88DiskBuilder()
               .addTrack(0, track0)
               .addTrack(2, track2)
               .addTrack(3, track3)
               .addTrack(4, track4)
               .build(),
           0x77);

  std::vector<uint8_t> expected;
  appendFilled(expected, 128, 1);
  appendFilled(expected, 128, 2);
  appendFilled(expected, 256, 3);
  appendFilled(expected, 256, 4);
  appendFilled(expected, 256, 4);
  appendFilled(expected, 1000, 5);
  appendFilled(expected, 32768, 6);
  for (uint8_t r = 11; r <= 26; ++r) {
    appendFilled(expected, 128, r);
  }
  appendFilled(expected, 128, 0x4C);
  appendFilled(expected, 128, 0x4D);
  // Nothing clears the buffer: what follows keeps its earlier content.
  appendFilled(expected, 100, 0x77);
  expectPrefix(expected);
}

TEST_F(AssemblyTest, NeverWritesPastTheBuffer) {
  // 80 tracks of eight 1,024-byte sectors would fill 655,360 bytes.
  std::vector<uint8_t> flat(size_t{80} * 8 * 1024);
  for (size_t i = 0; i < flat.size(); ++i) {
    flat[i] = static_cast<uint8_t>(i % 253 + 1);
  }
  assemble(diskFromFlatData(flat, 8, 3, interleavedOrder(8)).build(), 0);
  flat.resize(kImageBufferSize);
  expectPrefix(flat);
  EXPECT_TRUE(std::all_of(buffer.begin() + kImageBufferSize, buffer.end(),
                          [](uint8_t byte) { return byte == 0; }));
}

TEST_F(AssemblyTest, OnlyTheFirstEightyTracksAreAssembled) {
  D88DiskBuilder disk;
  for (int32_t track = 0; track < 82; ++track) {
    disk.addTrack(track, {sector(1, 0, filled(128, static_cast<uint8_t>(track + 1)), 1)});
  }
  assemble(disk.build(), 0);
  EXPECT_EQ(buffer[size_t{79} * 128], 80);
  EXPECT_EQ(buffer[size_t{80} * 128], 0);
}

}  // namespace
