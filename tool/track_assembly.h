// Track assembly: lays the data of a disk's first tracks out in one flat buffer, each track's
// sectors in ascending order of sector number.
#pragma once

#include <cstdint>

#include "d88/d88_reader.h"

// Only the first tracks of a disk are assembled, whatever it holds beyond them.
constexpr int32_t kAssembledTracks = 80;
// At most this many sector records of a track, the first in file order, take part.
constexpr int32_t kIdsPerTrack = 16;

// Fills imageBuffer (kImageBufferSize bytes) from offset 0 with the current disk of reader.
// Bytes beyond the last one written keep what they held; nothing is written past the buffer.
void assembleDisk(D88Reader& reader, uint8_t* imageBuffer);
