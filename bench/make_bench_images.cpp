// Writes the benchmark's images into a folder:
//   worst.d88  two disks: 80 tracks of 16 interleaved 256-byte sectors, and 80 tracks of eight
//              1,024-byte sectors; a chunk starts in every block the scan looks at (710 chunks,
//              1 to 12 blocks long, overlapping);
//   quiet.d88  the disks of worst.d88 without any chunk: the same reading, walking, sorting and
//              scanning, but no file to write;
//   worst256.d88, worst1024.d88
//              each of worst.d88's two layouts on both disks: 640 and 780 chunk files;
//   one.d88    one full 2HD disk: 154 tracks of eight 1,024-byte sectors (1.28 MB);
//   big.d88    64 such disks, over 80 MB;
//   big84.d88  64 disks of 84 such tracks (44.8 MB): the second disk straddles the first MiB.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"
#include "tool/chunk_scanner.h"
#include "tool/image_buffer.h"

namespace {

// A chunk table in every block; the last offset of block b points b % 12 blocks on, so the
// chunks run from 1 to 12 blocks and overlap.
std::vector<uint8_t> chunkInEveryBlock(size_t length) {
  std::vector<uint8_t> flat(length, kFillerByte);
  const auto blocks = static_cast<int32_t>(length / kBlockSize);
  for (int32_t block = 0; block < blocks; ++block) {
    const auto lastOffset = static_cast<uint16_t>((block % kMaxChunkBlocks) * kBlockSize + 0x60);
    writeChunk(flat, block, 1, lastOffset, static_cast<uint8_t>(block));
  }
  return flat;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: make_bench_images FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  try {
    const D88DiskBuilder small =
        diskFromFlatData(chunkInEveryBlock(size_t{80} * 16 * 256), 16, 1, interleavedOrder(16));
    const D88DiskBuilder large =
        diskFromFlatData(chunkInEveryBlock(size_t{80} * 8 * 1024), 8, 3, interleavedOrder(8));
    writeBinaryFile(folder + "/worst.d88", concatenateDisks({small, large}));
    writeBinaryFile(folder + "/worst256.d88", concatenateDisks({small, small}));
    writeBinaryFile(folder + "/worst1024.d88", concatenateDisks({large, large}));
    const std::vector<uint8_t> noChunks16(size_t{80} * 16 * 256, kFillerByte);
    const std::vector<uint8_t> noChunks8(size_t{80} * 8 * 1024, kFillerByte);
    writeBinaryFile(folder + "/quiet.d88",
                    concatenateDisks({diskFromFlatData(noChunks16, 16, 1, interleavedOrder(16)),
                                      diskFromFlatData(noChunks8, 8, 3, interleavedOrder(8))}));
    const D88DiskBuilder full2hd =
        diskFromFlatData(chunkInEveryBlock(size_t{154} * 8 * 1024), 8, 3, interleavedOrder(8));
    writeBinaryFile(folder + "/one.d88", full2hd.build());
    writeBinaryFile(folder + "/big.d88",
                    concatenateDisks(std::vector<D88DiskBuilder>(64, full2hd)));
    const D88DiskBuilder tracks84 =
        diskFromFlatData(chunkInEveryBlock(size_t{84} * 8 * 1024), 8, 3, interleavedOrder(8));
    writeBinaryFile(folder + "/big84.d88",
                    concatenateDisks(std::vector<D88DiskBuilder>(64, tracks84)));
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "make_bench_images: %s\n", error.what());
    return 1;
  }
  return 0;
}
