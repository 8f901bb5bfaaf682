// Chunk output files: their names, and writing one so that it is either complete or absent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Room for "ZK" and any 32-bit number.
constexpr size_t kChunkFileNameCapacity = 16;

// Formats the name of output file number fileNumber: "ZK" and at least three digits.
void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber);

// What no chunk file may be written over, besides the files written earlier in the run: each
// given as its identity, or nullptr when there is none or the system cannot tell it.
struct ProtectedFiles {
  const FileIdentity* image = nullptr;
  const FileIdentity* standardOutput = nullptr;
  const FileIdentity* standardError = nullptr;
  // The image's size and its first bytes (its first disk header), which no file rewritten in
  // place may show; imageHeadSize 0 when unknown.
  uint64_t imageSize = 0;
  const uint8_t* imageHead = nullptr;
  size_t imageHeadSize = 0;
};

// Starts a run's chunk files. The files written by an earlier run in this process are forgotten.
void beginChunkFiles(const ProtectedFiles& files);

// Whether standard output (descriptor 1) or standard error (2) may write into the image, reached
// another way than the path it was opened by; asked once beginChunkFiles has been told the image.
bool standardStreamShowsImage(int descriptor);

// Gives the name of a chunk file to standard output, where it goes out with the others.
void announceChunkFile(const char* fileName);

// Writes size bytes of data to the regular file fileName in the current directory, so that the
// name never shows a partial chunk, nor one whose bytes are not yet on the disk. Anything else
// under that name, the protected files, and a file this run has already written under another
// name are left as they were. The file may wait for its name, until finishChunkFiles or until
// as many wait as the run may hold; data must stay as it is until then. False when it failed,
// or when files that waited were finished and one of them failed.
bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size);

// Gives every chunk file written so far its name, after one flush of their bytes to the disk,
// and gives the names, a failed chunk's too, to standard output in the order the chunks were
// found.
// Each failure is reported on standard error, and so is a temporary name that could not be
// removed, which fails the run as well; a signal that came meanwhile then ends the run. False
// when any of them failed.
bool finishChunkFiles();
