#include "tool/chunk_file.h"

#include <cstdio>
#include <string>

#include "tool/file_identity.h"

namespace {

ProtectedFile& imageFile() {
  static ProtectedFile image;
  return image;
}

void reportWriteFailure(const char* fileName, const std::string& reason) {
  // The file's name was printed before the write; keep that order where both streams meet. A
  // failing standard output is reported once, at the end of the run; a failing standard error
  // leaves nowhere to report anything.
  (void)std::fflush(stdout);
  (void)std::fprintf(stderr, "vornix: cannot write %s: %s\n", fileName, reason.c_str());
}

}  // namespace

void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber) {
  // The capacity holds any 32-bit number, so the name is never cut short.
  (void)std::snprintf(fileName, kChunkFileNameCapacity, "ZK%03d", static_cast<int>(fileNumber));
}

void protectImageFile(const char* imagePath) {
  ProtectedFile& image = imageFile();
  image.known = lookUpFileIdentity(imagePath, image.identity);
}

bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size) {
  std::string reason;
  if (!writeFileInPlace(fileName, data, size, imageFile(), reason)) {
    reportWriteFailure(fileName, reason);
    return false;
  }
  return true;
}
