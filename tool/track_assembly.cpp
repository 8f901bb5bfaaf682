#include "tool/track_assembly.h"

#include <algorithm>
#include <cstddef>

#include "tool/image_buffer.h"

namespace {

// Size codes up to this one have a nominal length (at most 32 KiB) a data size field can state;
// above it the largest data size stands in for the nominal length.
constexpr int32_t kLargestNominalSizeCode = 8;

int32_t sectorLimit(uint8_t sizeCode) {
  if (sizeCode > kLargestNominalSizeCode) {
    return kMaxSectorDataSize;
  }
  return static_cast<int32_t>(nominalSectorLength(sizeCode));
}

}  // namespace

void assembleDisk(D88Reader& reader, uint8_t* imageBuffer) {
  int32_t writePosition = 0;
  uint8_t idBytes[kIdsPerTrack * kSectorIdSize];
  SectorId ids[kIdsPerTrack];
  for (int32_t track = 0; track < kAssembledTracks; ++track) {
    const int32_t idCount = reader.listSectorIds(track, idBytes, sizeof idBytes) / kSectorIdSize;
    if (idCount == 0) {
      continue;
    }
    for (int32_t i = 0; i < idCount; ++i) {
      const uint8_t* bytes = idBytes + static_cast<std::ptrdiff_t>(i) * kSectorIdSize;
      ids[i] = SectorId{bytes[0], bytes[1], bytes[2], bytes[3]};
    }
    // Stable, so that records with the same sector number keep their file order.
    std::stable_sort(ids, ids + idCount,
                     [](const SectorId& left, const SectorId& right) { return left.r < right.r; });
    reader.setSectorRange(ids[0].r, ids[idCount - 1].r);
    for (int32_t i = 0; i < idCount; ++i) {
      const SectorId& id = ids[i];
      const int32_t room = kImageBufferSize - writePosition;
      if (room == 0) {
        return;  // The buffer is full: no later sector can add anything.
      }
      const int32_t limit = std::min(sectorLimit(id.n), room);
      writePosition +=
          reader.readSector(track, id.c, id.h, id.r, id.n, imageBuffer + writePosition, limit);
    }
  }
}
