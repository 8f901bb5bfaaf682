// Writes the fuzz seed corpus: well-formed and deliberately odd images from the image builder.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"

namespace {

std::vector<uint8_t> flatWithChunks(size_t length) {
  std::vector<uint8_t> flat(length, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  writeChunk(flat, 2, 4, 0x0C00, 2);
  writeChunk(flat, 7, 3, 0x0800, 3);
  writeChunk(flat, 8, 2, 0x0400, 4);
  return flat;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: make_fuzz_seeds FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  try {
    // Small disks keep the seeds quick to run: a few tracks each.
    const std::vector<uint8_t> flat16 = flatWithChunks(size_t{4} * 16 * 256);
    const std::vector<uint8_t> flat8 = flatWithChunks(size_t{3} * 8 * 1024);
    const D88DiskBuilder interleaved = diskFromFlatData(flat16, 16, 1, interleavedOrder(16));
    const D88DiskBuilder large = diskFromFlatData(flat8, 8, 3, interleavedOrder(8));
    writeBinaryFile(folder + "/one-disk.d88", interleaved.build());
    writeBinaryFile(folder + "/two-disks.d88", concatenateDisks({interleaved, large}));
    writeBinaryFile(folder + "/three-disks.d88", concatenateDisks({large, interleaved, large}));

    // Odd records: counts of 0 and of more than the track has, size codes that disagree with
    // data sizes, duplicate IDs, 26 sectors.
    std::vector<SectorRecord> odd = makeTrack(0, interleavedOrder(26), 0, flat16, 0);
    odd[0].sectorCount = 0;
    odd[3].sectorCount = 40;
    odd[5].n = 3;
    odd[6].statedDataSize = 512;
    odd[7].n = 200;
    odd[8] = odd[9];
    writeBinaryFile(folder + "/odd-records.d88", D88DiskBuilder().addTrack(0, odd).build());

    std::vector<uint8_t> truncated = concatenateDisks({interleaved, interleaved});
    truncated.resize(truncated.size() - 3000);
    writeBinaryFile(folder + "/truncated.d88", truncated);

    D88DiskBuilder bentTable = interleaved;
    bentTable.setTrackOffset(1, 16).setTrackOffset(2, 0x80000000u).setTrackOffset(5, 700);
    writeBinaryFile(folder + "/bent-table.d88", bentTable.build());
    writeBinaryFile(folder + "/zero-size.d88", D88DiskBuilder(interleaved).setDiskSize(0).build());
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "make_fuzz_seeds: %s\n", error.what());
    return 1;
  }
  return 0;
}
