// Drives every D88Reader operation on an arbitrary image and checks that each result stays
// within its bounds. The last bytes of the input choose the sizes and capacities passed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "d88/d88_reader.h"
#include "fuzz/fuzz_input_file.h"

namespace {

void require(bool holds, const char* what) {
  if (!holds) {
    (void)std::fprintf(stderr, "bound broken: %s\n", what);
    std::abort();
  }
}

// Reads parameters from the end of the input, wrapping around when it is short.
class Parameters {
 public:
  Parameters(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int32_t next16() {
    if (size_ == 0) {
      return 0;
    }
    const int32_t low = data_[(size_ - 1 - used_++ % size_)];
    const int32_t high = data_[(size_ - 1 - used_++ % size_)];
    return low | (high << 8);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

void checkDisk(D88Reader& reader) {
  require(reader.getMediaType() >= -1 && reader.getMediaType() <= 255, "media type");
  require(std::strlen(reader.getDiskName()) <= 16, "name length");
}

void driveTracks(D88Reader& reader, Parameters& parameters) {
  // Capacity up to 257 bytes, not always a multiple of 4; the vectors are exactly as large as
  // what the reader is told, so that the sanitizer sees any byte written past them.
  const int32_t capacity = parameters.next16() % 258 - 1;
  const int32_t maxBytes = parameters.next16() % 4100 - 2;
  const int32_t total = parameters.next16() % 9000 - 2;
  std::vector<uint8_t> ids(static_cast<size_t>(capacity > 0 ? capacity : 0));
  std::vector<uint8_t> sector(static_cast<size_t>(maxBytes > 0 ? maxBytes : 0));
  std::vector<uint8_t> run(static_cast<size_t>(total > 0 ? total : 0));
  reader.setSectorRange(parameters.next16() % 20, parameters.next16() % 40);
  for (int32_t track = -1; track <= 164; ++track) {
    const int32_t listed = reader.listSectorIds(track, ids.data(), capacity);
    require(listed >= 0 && listed % 4 == 0 && listed <= (capacity > 0 ? capacity : 0),
            "listSectorIds");
    for (int32_t at = 0; at + 4 <= listed; at += 4) {
      const uint8_t* id = ids.data() + at;
      const int32_t got =
          reader.readSector(track, id[0], id[1], id[2], id[3], sector.data(), maxBytes);
      require(got >= 0 && got <= (maxBytes > 0 ? maxBytes : 0), "readSector");
      if (at == 0) {
        const int32_t ran =
            reader.readSectors(track, id[0], id[1], id[2], id[3], run.data(), total);
        require(ran >= 0 && ran <= (total > 0 ? total : 0), "readSectors");
      }
    }
    require(reader.readSector(track, 0, 0, 1, 1, sector.data(), maxBytes) <=
                (maxBytes > 0 ? maxBytes : 0),
            "readSector of a guessed ID");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputRunning running;
  writeFuzzImage(data, size);
  D88Reader reader;
  const bool opened = reader.open(fuzzImagePath().c_str());
  removeFuzzImage();
  require(opened, "open of a regular file");
  const int32_t disks = reader.getDiskCount();
  require(disks >= 0 && disks <= 64, "disk count");
  Parameters parameters(data, size);
  for (int32_t index : {-1, disks, 64, INT32_MIN, INT32_MAX}) {
    require(!reader.selectDisk(index), "selection of a disk out of range");
    checkDisk(reader);
    require(reader.getDiskIndex() == -1, "disk index after a failed selection");
  }
  // Every disk of a small image; the first few of a large one keep each run quick.
  for (int32_t index = 0; index < disks && index < 4; ++index) {
    require(reader.selectDisk(index), "selection of a recorded disk");
    require(reader.getDiskIndex() == index, "disk index");
    checkDisk(reader);
    driveTracks(reader, parameters);
  }
  require(reader.open(nullptr), "closing");
  require(reader.getDiskCount() == 0 && !reader.selectDisk(0), "closed reader");
  return 0;
}
