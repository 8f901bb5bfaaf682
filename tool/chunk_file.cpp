#include "tool/chunk_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "tool/error_text.h"
#include "tool/file_identity.h"

namespace {

// A chunk is written under its name plus this suffix, then renamed onto its name.
constexpr const char* kTemporarySuffix = ".part";

// The image being read, once named: its identity, or whether it could not be looked up.
struct ProtectedImage {
  bool named = false;
  bool known = false;
  FileIdentity identity;
};

ProtectedImage& protectedImage() {
  static ProtectedImage image;
  return image;
}

void reportWriteFailure(const char* fileName, const std::string& reason) {
  // The file's name was printed before the write; keep that order where both streams meet. A
  // failing standard output is reported once, at the end of the run; a failing standard error
  // leaves nowhere to report anything.
  (void)std::fflush(stdout);
  (void)std::fprintf(stderr, "vornix: cannot write %s: %s\n", fileName, reason.c_str());
}

// Whether writing fileName could touch the image being read: it is the image, a link to it, or
// it cannot be told apart from it. reason says why.
bool mayBeImageFile(const std::string& fileName, std::string& reason) {
  const ProtectedImage& image = protectedImage();
  if (!image.named) {
    return false;
  }
  FileIdentity identity;
  const IdentityLookup lookup = lookUpFileIdentity(fileName.c_str(), identity);
  if (lookup == IdentityLookup::kMissing) {
    return false;
  }
  if (lookup == IdentityLookup::kFound && image.known) {
    reason = "it is the image being read";
    return identity == image.identity;
  }
  reason = "cannot tell whether it is the image being read";
  return true;
}

}  // namespace

void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber) {
  // The capacity holds any 32-bit number, so the name is never cut short.
  (void)std::snprintf(fileName, kChunkFileNameCapacity, "ZK%03d", static_cast<int>(fileNumber));
}

void protectImageFile(const char* imagePath) {
  ProtectedImage& image = protectedImage();
  image.named = true;
  image.known = lookUpFileIdentity(imagePath, image.identity) == IdentityLookup::kFound;
}

bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size) {
  const std::string temporaryName = std::string(fileName) + kTemporarySuffix;
  std::string reason;
  if (mayBeImageFile(fileName, reason) || mayBeImageFile(temporaryName, reason)) {
    reportWriteFailure(fileName, reason);
    return false;
  }

  errno = 0;
  std::FILE* out = std::fopen(temporaryName.c_str(), "wb");
  if (out == nullptr) {
    reportWriteFailure(fileName, lastWriteErrorText());
    return false;
  }
  errno = 0;
  bool complete = std::fwrite(data, 1, size, out) == size;
  if (!complete) {
    reason = lastWriteErrorText();
  }
  // Closing flushes the last buffered bytes, so it can fail as a write does.
  errno = 0;
  if (std::fclose(out) != 0 && complete) {
    complete = false;
    reason = lastWriteErrorText();
  }
  if (!complete) {
    // A temporary file that cannot be removed is left under its own name, never the chunk's.
    (void)std::remove(temporaryName.c_str());
    reportWriteFailure(fileName, reason);
    return false;
  }

  std::error_code error;
  std::filesystem::rename(temporaryName, fileName, error);
  if (error) {
    (void)std::remove(temporaryName.c_str());
    reportWriteFailure(fileName, error.message());
    return false;
  }
  return true;
}
