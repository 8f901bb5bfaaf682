// D88Reader: opens a D88 image, finds its disks, makes one disk current and reads the sector IDs
// and sector data of that disk's tracks from the file, each of the disk's blocks read once.
#pragma once

#include <cstdint>
#include <cstdio>

#include "d88/d88_format.h"
#include "d88/image_cache.h"
#include "platform/platform.h"

class D88Reader {
 public:
  D88Reader() = default;
  ~D88Reader();
  D88Reader(const D88Reader&) = delete;
  D88Reader& operator=(const D88Reader&) = delete;

  // Opens the image at path and records where its disks start; nullptr closes the open image.
  // Opening closes a previously open image first, and leaves no disk current. Only a file the
  // reader can move about in opens: a pipe, a FIFO or a terminal does not.
  bool open(const char* path);
  int32_t getDiskCount() const { return diskCount; }
  // Loads the header of disk index and makes it current; on failure no disk is current.
  bool selectDisk(int32_t index);

  // Writes the IDs of the track's sector records, in file order, 4 bytes each, as many whole IDs
  // as fit in capacity bytes; returns the number of bytes written.
  int32_t listSectorIds(int32_t track, uint8_t* ids, int32_t capacity);
  // Copies the data of the first record on the track with ID (c, h, r, n), at most maxBytes of
  // it; returns the number of bytes really delivered.
  int32_t readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* dest,
                     int32_t maxBytes);
  // Reads consecutive sectors of nominal length for size code n, starting at (c, h, r, n) and
  // moving on to the next track after lastSector; returns the bytes of the complete sectors.
  int32_t readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* dest,
                      int32_t total);
  void setSectorRange(int32_t first, int32_t last);

  int32_t getDiskIndex() const { return diskIndex; }
  const char* getDiskName() const { return name; }
  int32_t getMediaType() const { return mediaType; }
  // The identity of the open image file, taken from the stream that reads it; false when no
  // file is open or the system cannot tell.
  bool getFileIdentity(FileIdentity& identity) const { return identifyStream(file, identity); }
  // Where the image is a device that shows a file's bytes (a loop device), that file's identity.
  bool getBackingFileIdentity(FileIdentity& identity) const {
    return identifyBackingFile(file, identity);
  }
  // The errno value of the first read that the system failed since the image was opened, even
  // after a second try; 0 when every one succeeded. Only the end of the file ends the image:
  // a failed read of a disk header ends the list of disks, but is reported here all the same.
  int getReadError() const { return readError; }
  // The same for the reads made since the current disk was last selected, its header's included:
  // a disk with such a failure was not read whole.
  int getDiskReadError() const { return diskReadError; }
  // The open image's size in bytes and its first disk header, which tell it apart from other
  // files whatever path reaches it; false when the image holds no disk or cannot be measured.
  bool getImageLikeness(uint64_t& size, const uint8_t*& firstHeader) const;

 private:
  void closeFile();
  void clearCurrentDisk();
  // The checks every track operation starts with; gives the file position of the track's first
  // sector record, or -1 when the track cannot be read.
  int64_t trackStart(int32_t track) const;
  // Copies up to size bytes of the image from position on, through the cache; returns how many
  // arrived.
  int32_t readAt(int64_t position, uint8_t* dest, int32_t size);
  void noteReadError(int error);

  std::FILE* file = nullptr;
  int32_t diskIndex = -1;
  int32_t diskCount = 0;
  int32_t firstSector = 1;
  int32_t lastSector = 16;
  int32_t diskOffsets[kMaxDisks] = {};
  int32_t diskSize = 0;
  int32_t diskOffset = -1;
  int32_t trackOffsets[kMaxTracks] = {};
  int32_t mediaType = -1;
  char name[kDiskNameLength + 1] = {};
  // The disk size each header stated when the image was opened: where the disk's blocks end.
  int32_t diskSizes[kMaxDisks] = {};
  // Track walks go back to the start of their track for every sector; the cache serves them
  // from the blocks of the current disk already read. The file is only read through it, and
  // never through the stream's own buffer.
  ImageCache cache;
  int readError = 0;
  int diskReadError = 0;
  // The header of disk 0, kept from opening; valid when diskCount > 0.
  uint8_t firstDiskHeader[kDiskHeaderSize] = {};
};
