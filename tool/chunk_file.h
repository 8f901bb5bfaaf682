// Chunk output files: their names, and writing one so that it is either complete or absent.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for "ZK" and any 32-bit number.
constexpr size_t kChunkFileNameCapacity = 16;

// Formats the name of output file number fileNumber: "ZK" and at least three digits.
void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber);

// Names the image being read; no chunk file is ever written over it.
void protectImageFile(const char* imagePath);

// Writes size bytes of data to the regular file fileName in the current directory, creating it
// or rewriting it in place. Anything else under that name, and the image, is left as it was; a
// write that fails removes the file, so no partial chunk stays. A failure is reported on
// standard error.
bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size);
