// Writes the demo image: two disks with interleaved sectors, chunks of several lengths, two
// overlapping chunks, and a chunk that the second disk finds again in the first disk's leftover
// bytes.
#include <cstdio>
#include <exception>
#include <vector>

#include "tests/d88_image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: make_demo_image OUTPUT\n", stderr);
    return 2;
  }
  // Disk 0: 80 tracks of 16 sectors of 256 bytes, stored 1, 9, 2, 10, ...: 320 blocks.
  std::vector<uint8_t> first(size_t{80} * 16 * 256, kFillerByte);
  writeChunk(first, 3, 1, 0x0060, 1);   // one block
  writeChunk(first, 10, 4, 0x0C00, 2);  // the last offset reaches the fourth block
  writeChunk(first, 20, 5, 0x0800, 3);  // non-zero tails carry it past the last offset
  writeChunk(first, 40, 3, 0x0100, 4);  // overlaps the chunk that starts one block later
  writeChunk(first, 41, 2, 0x0100, 5);
  writeChunk(first, 200, 2, 0x0400, 6);  // beyond what disk 1 assembles
  // Disk 1: 20 tracks of 8 sectors of 1,024 bytes, stored 1, 5, 2, 6, ...: 160 blocks.
  std::vector<uint8_t> second(size_t{20} * 8 * 1024, kFillerByte);
  writeChunk(second, 7, 2, 0x0500, 7);

  try {
    const D88DiskBuilder disks[] = {
        diskFromFlatData(first, 16, 1, interleavedOrder(16)).setName("VORNIX DEMO 1"),
        diskFromFlatData(second, 8, 3, interleavedOrder(8)).setName("VORNIX DEMO 2")};
    writeBinaryFile(argv[1], concatenateDisks({disks[0], disks[1]}));
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "make_demo_image: %s\n", error.what());
    return 1;
  }
  return 0;
}
