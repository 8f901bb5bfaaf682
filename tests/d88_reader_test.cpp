#include "d88/d88_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"
#include "tests/test_support.h"

namespace {

std::vector<uint8_t> bytesOf(size_t length, uint8_t first) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>(first + i);
  }
  return data;
}

SectorRecord sector(uint8_t c, uint8_t h, uint8_t r, uint8_t n, uint16_t count,
                    std::vector<uint8_t> data) {
  return SectorRecord{c, h, r, n, count, std::move(data)};
}

// A plain track of `count` sectors numbered 1.., size code 1, each 256 bytes of a value that
// tells track and sector apart.
std::vector<SectorRecord> plainTrack(int32_t track, int32_t count) {
  std::vector<SectorRecord> records;
  for (int32_t r = 1; r <= count; ++r) {
    records.push_back(sector(static_cast<uint8_t>(track / 2), static_cast<uint8_t>(track % 2),
                             static_cast<uint8_t>(r), 1, static_cast<uint16_t>(count),
                             std::vector<uint8_t>(256, static_cast<uint8_t>(track * 16 + r))));
  }
  return records;
}

class ReaderTest : public ::testing::Test {
 protected:
  // Writes the image to a file and opens it.
  bool openImage(const std::vector<uint8_t>& bytes, const std::string& name = "image.d88") {
    writeBinaryFile(dir.file(name), bytes);
    return reader.open(dir.file(name).c_str());
  }

  void expectNoDiskCurrent() {
    uint8_t buffer[64] = {};
    EXPECT_EQ(reader.listSectorIds(0, buffer, 64), 0);
    EXPECT_EQ(reader.readSector(0, 0, 0, 1, 1, buffer, 64), 0);
    EXPECT_EQ(reader.readSectors(0, 0, 0, 1, 1, buffer, 64), 0);
    EXPECT_EQ(reader.getMediaType(), -1);
    EXPECT_EQ(reader.getDiskIndex(), -1);
    EXPECT_STREQ(reader.getDiskName(), "");
  }

  ScratchDir dir;
  D88Reader reader;
};

TEST_F(ReaderTest, FindsDisksUntilNoWholeHeaderRemains) {
  const std::vector<uint8_t> one = D88DiskBuilder().addTrack(0, plainTrack(0, 2)).build();
  std::vector<uint8_t> headerOnly = D88DiskBuilder().build();
  std::vector<uint8_t> threeWithPartialTail = concatenateDisks(
      {D88DiskBuilder().setName("A"), D88DiskBuilder().addTrack(0, plainTrack(0, 3)),
       D88DiskBuilder().setName("C")});
  threeWithPartialTail.resize(threeWithPartialTail.size() + 687, 0x11);
  std::vector<uint8_t> zeroSize = D88DiskBuilder().setDiskSize(0).build();
  std::vector<D88DiskBuilder> many(65, D88DiskBuilder());
  // A size of 2^31 or more, and a start beyond 2^31 - 1, end the list after the disk.
  std::vector<uint8_t> hugeSize =
      concatenateDisks({D88DiskBuilder().setDiskSize(0x80000000u), D88DiskBuilder()});
  std::vector<uint8_t> farNext = concatenateDisks(
      {D88DiskBuilder(), D88DiskBuilder().setDiskSize(0x7FFFFFFFu), D88DiskBuilder()});

  const struct {
    const char* what;
    std::vector<uint8_t> image;
    int32_t disks;
  } cases[] = {
      {"empty file", {}, 0},
      {"687 bytes", std::vector<uint8_t>(687, 0x20), 0},
      {"header only", headerOnly, 1},
      {"one disk", one, 1},
      {"three disks and a partial header", threeWithPartialTail, 3},
      {"disk size 0", zeroSize, 64},
      {"65 disks", concatenateDisks(many), 64},
      {"disk size of 2^31", hugeSize, 1},
      {"next disk beyond 2^31", farNext, 2},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(openImage(c.image)) << c.what;
    EXPECT_EQ(reader.getDiskCount(), c.disks) << c.what;
    EXPECT_EQ(reader.selectDisk(c.disks), false) << c.what;
    if (c.disks > 0) {
      EXPECT_TRUE(reader.selectDisk(c.disks - 1)) << c.what;
    }
  }
}

// One disk of 728 bytes spelled out byte by byte, its answers worked out by hand: track 0 holds
// R 2 and then R 1, four data bytes each; the last track, 163, starts at the record of R 1.
TEST_F(ReaderTest, ReadsAnImageSpelledOutByteByByte) {
  std::vector<uint8_t> image(728, 0);
  image[0] = 'H';
  image[1] = 'I';
  image[27] = 0x20;  // media type
  image[28] = 0xD8;  // disk size 0x02D8 = 728
  image[29] = 0x02;
  image[32] = 0xB0;  // track 0 at 0x02B0 = 688, right after the header
  image[33] = 0x02;
  image[684] = 0xC4;  // track 163 (entry at 32 + 4 * 163) at 0x02C4 = 708
  image[685] = 0x02;
  const uint8_t records[] = {
      0, 0, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 'B', 'B', 'B', 'B',   // C H R N, 2 sectors
      0, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 'A', 'A', 'A', 'A'};  // ..., 4 data bytes
  std::copy(std::begin(records), std::end(records), image.begin() + 688);
  ASSERT_TRUE(openImage(image));
  EXPECT_EQ(reader.getDiskCount(), 1);
  ASSERT_TRUE(reader.selectDisk(0));
  EXPECT_STREQ(reader.getDiskName(), "HI");
  EXPECT_EQ(reader.getMediaType(), 0x20);
  std::array<uint8_t, 64> ids{};
  ASSERT_EQ(reader.listSectorIds(0, ids.data(), 64), 8);
  EXPECT_EQ(std::vector<uint8_t>(ids.begin(), ids.begin() + 8),
            (std::vector<uint8_t>{0, 0, 2, 0, 0, 0, 1, 0}));
  // From the record of R 1 the walk of track 163 meets the end of the file.
  ASSERT_EQ(reader.listSectorIds(163, ids.data(), 64), 4);
  EXPECT_EQ(ids[2], 1);
  std::array<uint8_t, 8> data{};
  EXPECT_EQ(reader.readSector(0, 0, 0, 1, 0, data.data(), 8), 4);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 4), "AAAA");
}

TEST_F(ReaderTest, SelectionLoadsNameMediaTypeAndIndex) {
  const std::string sixteen = "ABCDEFGHIJKLMNOP";
  ASSERT_TRUE(openImage(
      concatenateDisks({D88DiskBuilder().setName(sixteen).setMediaType(0x20),
                        D88DiskBuilder().setName(std::string("AB\0CD", 5)).setMediaType(0xFF)})));
  ASSERT_TRUE(reader.selectDisk(0));
  EXPECT_EQ(std::string(reader.getDiskName()), sixteen);
  EXPECT_EQ(reader.getMediaType(), 0x20);
  EXPECT_EQ(reader.getDiskIndex(), 0);
  ASSERT_TRUE(reader.selectDisk(1));
  EXPECT_STREQ(reader.getDiskName(), "AB");
  EXPECT_EQ(reader.getMediaType(), 0xFF);
  EXPECT_EQ(reader.getDiskIndex(), 1);
}

TEST_F(ReaderTest, NoDiskIsCurrentBeforeSelectionOrAfterAFailedOne) {
  expectNoDiskCurrent();
  ASSERT_TRUE(openImage(D88DiskBuilder().setName("DISK").addTrack(0, plainTrack(0, 2)).build()));
  expectNoDiskCurrent();
  ASSERT_TRUE(reader.selectDisk(0));
  uint8_t ids[8];
  EXPECT_EQ(reader.listSectorIds(0, ids, 8), 8);
  for (int32_t bad : {1, -1, INT32_MAX}) {
    ASSERT_TRUE(reader.selectDisk(0));
    EXPECT_FALSE(reader.selectDisk(bad));
    expectNoDiskCurrent();
  }
}

TEST_F(ReaderTest, HeaderCutShortAfterOpeningFailsSelection) {
  if (!temporaryFolderHolds().rewrites) {
    GTEST_SKIP() << "the file system cannot cut a file short and write it again";
  }
  std::vector<uint8_t> image = D88DiskBuilder().addTrack(0, plainTrack(0, 1)).build();
  ASSERT_TRUE(openImage(image));
  image.resize(100);
  writeBinaryFile(dir.file("image.d88"), image);
  EXPECT_FALSE(reader.selectDisk(0));
  expectNoDiskCurrent();
}

TEST_F(ReaderTest, TrackCheckBoundaries) {
  // Tracks 0..3 stored in order; the table is then bent to test each boundary.
  D88DiskBuilder disk;
  for (int32_t track = 0; track < 4; ++track) {
    disk.addTrack(track, plainTrack(track, 1));
  }
  const uint32_t recordSize = 16 + 256;
  const uint32_t track2 = 688 + 2 * recordSize;
  // The disk size ends right where track 2 starts: track 2 is still accepted, track 3 is not,
  // though its data stands in the file.
  disk.setDiskSize(track2).setTrackOffset(1, 0).setTrackOffset(0, 0x80000000u);
  disk.setTrackOffset(5, 16);  // inside the disk's own header
  ASSERT_TRUE(openImage(disk.build()));
  ASSERT_TRUE(reader.selectDisk(0));
  uint8_t ids[64];
  const struct {
    int32_t track;
    int32_t bytes;
  } cases[] = {{0, 0}, {1, 0}, {2, 4}, {3, 0}, {5, 8}, {164, 0}, {-1, 0}, {4, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(reader.listSectorIds(c.track, ids, 8), c.bytes) << "track " << c.track;
  }
  uint8_t data[256];
  EXPECT_EQ(reader.readSector(2, 1, 0, 1, 1, data, 256), 256);
  EXPECT_EQ(data[0], 2 * 16 + 1);
  EXPECT_EQ(reader.readSector(3, 1, 1, 1, 1, data, 256), 0);
}

TEST_F(ReaderTest, ListsWholeIdsInFileOrderWithinCapacity) {
  std::vector<SectorRecord> track = plainTrack(0, 26);
  std::vector<SectorRecord> zeroCount = plainTrack(1, 3);
  for (SectorRecord& record : zeroCount) {
    record.sectorCount = 0;
  }
  ASSERT_TRUE(openImage(D88DiskBuilder().addTrack(0, track).addTrack(1, zeroCount).build()));
  ASSERT_TRUE(reader.selectDisk(0));

  std::array<uint8_t, 72> ids{};
  EXPECT_EQ(reader.listSectorIds(0, ids.data(), 64), 64);
  for (int32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(ids[static_cast<size_t>(4 * i + 2)], i + 1);
  }
  // A capacity that is not a multiple of 4 takes only whole IDs; nothing is written past them.
  ids.fill(0xEE);
  EXPECT_EQ(reader.listSectorIds(0, ids.data(), 10), 8);
  EXPECT_EQ(ids[8], 0xEE);
  EXPECT_EQ(reader.listSectorIds(0, ids.data(), 3), 0);
  EXPECT_EQ(reader.listSectorIds(0, ids.data(), -4), 0);
  // A count of 0 never ends the list: it runs on through track 1's 3 records to the end of
  // the file, where the walk stops at the first header cut short.
  EXPECT_EQ(reader.listSectorIds(1, ids.data(), 64), 12);
  EXPECT_EQ(ids[4 * 2 + 2], 3);
}

TEST_F(ReaderTest, ReadSectorTakesFirstMatchUpToMaximum) {
  // A long first record makes the walk seek over its data rather than read over it.
  std::vector<SectorRecord> track = {
      sector(0, 0, 8, 7, 5, bytesOf(20000, 0)),
      sector(0, 0, 1, 1, 5, bytesOf(256, 0)),
      sector(0, 0, 2, 1, 5, bytesOf(256, 100)),
      sector(0, 0, 2, 1, 5, bytesOf(256, 200)),
      sector(0, 0, 3, 1, 5, {}),
  };
  std::vector<SectorRecord> zeroCount = {sector(0, 1, 1, 1, 0, bytesOf(256, 0))};
  ASSERT_TRUE(openImage(D88DiskBuilder().addTrack(0, track).addTrack(1, zeroCount).build()));
  ASSERT_TRUE(reader.selectDisk(0));

  std::array<uint8_t, 300> data{};
  data.fill(0xEE);
  EXPECT_EQ(reader.readSector(0, 0, 0, 2, 1, data.data(), 300), 256);
  EXPECT_EQ(data[0], 100);
  EXPECT_EQ(data[255], static_cast<uint8_t>(100 + 255));
  EXPECT_EQ(data[256], 0xEE);

  data.fill(0xEE);
  EXPECT_EQ(reader.readSector(0, 0, 0, 1, 1, data.data(), 10), 10);
  EXPECT_EQ(data[9], 9);
  EXPECT_EQ(data[10], 0xEE);

  const struct {
    const char* what;
    int32_t track, c, h, r, n, maxBytes;
  } nothing[] = {
      {"no such sector", 0, 0, 0, 9, 1, 256},    {"other size code", 0, 0, 0, 1, 2, 256},
      {"R beyond a byte", 0, 0, 0, 257, 1, 256}, {"negative C", 0, -256, 0, 1, 1, 256},
      {"data size 0", 0, 0, 0, 3, 1, 256},       {"negative maximum", 0, 0, 0, 1, 1, -1},
      {"count of 0", 1, 0, 1, 1, 1, 256},
  };
  for (const auto& c : nothing) {
    EXPECT_EQ(reader.readSector(c.track, c.c, c.h, c.r, c.n, data.data(), c.maxBytes), 0) << c.what;
  }
}

TEST_F(ReaderTest, AWalkEndsAfter65535Records) {
  // No count ends this track: every header claims 65,535 sectors, but the one at index 65,534,
  // the last a count could mark, claims 1.
  std::vector<SectorRecord> track(65536, sector(0, 0, 1, 0, 0xFFFF, {}));
  track[65534] = sector(0, 0, 2, 0, 1, {0x22});
  track[65535] = sector(0, 0, 3, 0, 1, {0x33});
  ASSERT_TRUE(openImage(D88DiskBuilder().addTrack(0, track).build()));
  ASSERT_TRUE(reader.selectDisk(0));
  uint8_t data = 0;
  EXPECT_EQ(reader.readSector(0, 0, 0, 2, 0, &data, 1), 1);
  EXPECT_EQ(reader.readSector(0, 0, 0, 3, 0, &data, 1), 0);
}

TEST_F(ReaderTest, ShortReadsAtTheEndOfTheFileReportWhatArrived) {
  std::vector<uint8_t> image = D88DiskBuilder()
                                   .addTrack(0, {sector(0, 0, 1, 1, 3, bytesOf(256, 0)),
                                                 sector(0, 0, 2, 1, 3, bytesOf(256, 50)),
                                                 sector(0, 0, 3, 1, 3, bytesOf(256, 90))})
                                   .build();
  // Cut the file 100 bytes into sector 2's data: sector 3's header is gone.
  image.resize(688 + 16 + 256 + 16 + 100);
  ASSERT_TRUE(openImage(image));
  ASSERT_TRUE(reader.selectDisk(0));
  std::array<uint8_t, 256> data{};
  EXPECT_EQ(reader.readSector(0, 0, 0, 2, 1, data.data(), 256), 100);
  EXPECT_EQ(reader.readSector(0, 0, 0, 3, 1, data.data(), 256), 0);
  uint8_t ids[64];
  EXPECT_EQ(reader.listSectorIds(0, ids, 64), 8);
}

TEST_F(ReaderTest, ReadSectorsRunsAcrossTracksAndHeads) {
  D88DiskBuilder disk;
  for (int32_t track = 0; track < 17; ++track) {
    disk.addTrack(track, plainTrack(track, 16));
  }
  ASSERT_TRUE(openImage(disk.build()));
  ASSERT_TRUE(reader.selectDisk(0));
  std::vector<uint8_t> data(size_t{256} * 257, 0xEE);

  // R 16 of track 0, then R 1 and 2 of track 1 (C 0, H 1).
  EXPECT_EQ(reader.readSectors(0, 0, 0, 16, 1, data.data(), 256 * 3), 256 * 3);
  EXPECT_EQ(data[0], 16);
  EXPECT_EQ(data[256], 16 + 1);
  EXPECT_EQ(data[512], 16 + 2);
  // From head 1 the run moves on to the next cylinder, head 0; a total that is not a whole
  // number of sectors takes part of the last one.
  EXPECT_EQ(reader.readSectors(1, 0, 1, 16, 1, data.data(), 256 + 10), 256 + 10);
  EXPECT_EQ(data[0], 16 + 16);
  EXPECT_EQ(data[256], 32 + 1);
  // 257 sectors: all 16 of tracks 0 to 15, then R 1 of track 16.
  EXPECT_EQ(reader.readSectors(0, 0, 0, 1, 1, data.data(), 256 * 257), 256 * 257);
  EXPECT_EQ(data[size_t{256} * 256], static_cast<uint8_t>(16 * 16 + 1));
  // The run ends at the first sector that is missing (track 17 does not exist).
  EXPECT_EQ(reader.readSectors(16, 8, 0, 15, 1, data.data(), 256 * 4), 256 * 2);
  // A sector range of 1..8 moves to the next track after R 8.
  reader.setSectorRange(1, 8);
  EXPECT_EQ(reader.readSectors(0, 0, 0, 8, 1, data.data(), 256 * 2), 256 * 2);
  EXPECT_EQ(data[256], 16 + 1);
  // A run that starts past the range goes on along its track.
  EXPECT_EQ(reader.readSectors(0, 0, 0, 9, 1, data.data(), 256 * 2), 256 * 2);
  EXPECT_EQ(data[256], 10);
  EXPECT_EQ(reader.readSectors(0, 0, 0, 1, 1, data.data(), -5), 0);
  EXPECT_EQ(reader.readSectors(0, 0, 0, 1, 256, data.data(), 256), 0);
  // A size code that no sector carries finds nothing, however long its nominal length.
  EXPECT_EQ(reader.readSectors(0, 0, 0, 1, 30, data.data(), 256), 0);
}

TEST_F(ReaderTest, OpeningAndClosing) {
  EXPECT_TRUE(reader.open(nullptr));
  EXPECT_EQ(reader.getDiskCount(), 0);
  EXPECT_FALSE(reader.open(dir.file("missing.d88").c_str()));
  EXPECT_FALSE(reader.open(dir.path().c_str()));  // a directory
  EXPECT_FALSE(reader.selectDisk(0));

  ASSERT_TRUE(openImage(
      concatenateDisks({D88DiskBuilder().addTrack(0, plainTrack(0, 2)), D88DiskBuilder()}),
      "two.d88"));
  ASSERT_TRUE(reader.selectDisk(0));
  // Opening another image closes the first and leaves no disk of it current.
  ASSERT_TRUE(openImage(D88DiskBuilder().build(), "one.d88"));
  EXPECT_EQ(reader.getDiskCount(), 1);
  expectNoDiskCurrent();
  ASSERT_TRUE(reader.selectDisk(0));
  EXPECT_TRUE(reader.open(nullptr));
  EXPECT_EQ(reader.getDiskCount(), 0);
  EXPECT_FALSE(reader.selectDisk(0));
  expectNoDiskCurrent();
  // A reader destroyed with its image open closes it.
  const auto openFiles = [] {
    const std::filesystem::directory_iterator all("/proc/self/fd");
    return std::distance(begin(all), end(all));
  };
  const auto before = openFiles();
  for (int32_t i = 0; i < 20; ++i) {
    D88Reader another;
    ASSERT_TRUE(another.open(dir.file("one.d88").c_str()));
  }
  EXPECT_EQ(openFiles(), before);
}

}  // namespace
