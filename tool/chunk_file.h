// Chunk output files: their names, and writing one so that it is either complete or absent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tool/platform.h"

// Room for "ZK" and any 32-bit number.
constexpr size_t kChunkFileNameCapacity = 16;

// Formats the name of output file number fileNumber: "ZK" and at least three digits.
void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber);

// Starts a run's chunk files: image is the identity of the image being read, or nullptr when
// the system cannot tell it; no chunk file of the run is ever written over it. The files
// written by an earlier run in this process are forgotten.
void beginChunkFiles(const FileIdentity* image);

// Writes size bytes of data to the regular file fileName in the current directory, creating it
// or rewriting it in place. Anything else under that name, the image, and a file this run has
// already written under another name are left as they were; a write that fails leaves no
// partial chunk. A failure is reported on standard error.
bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size);
