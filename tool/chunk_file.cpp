#include "tool/chunk_file.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tool/error_text.h"

namespace {

struct WrittenChunkFile {
  FileIdentity identity;
  // cppcheck-suppress unusedStructMember ; read through the iterator that finds it
  std::string name;
};

// What a chunk file must never be written over: the image being read, and every file written
// earlier in the run, which holds a chunk of its own. Set by the entry before the scan starts.
struct ChunkFileRecord {
  bool imageKnown = false;
  FileIdentity image;
  std::vector<WrittenChunkFile> written;
};

ChunkFileRecord record;

// Whether an existing file opened under a chunk's name may be rewritten.
bool mayRewrite(const FileIdentity& opened, uint64_t size, std::string& reason) {
  // A file of size 0 cannot be the image, which holds at least one disk header whenever there
  // are chunks to write.
  if (record.imageKnown ? opened == record.image : size > 0) {
    reason = record.imageKnown ? "it is the image being read"
                               : "cannot tell whether it is the image being read";
    return false;
  }
  const auto earlier = std::find_if(
      record.written.begin(), record.written.end(),
      [&opened](const WrittenChunkFile& written) { return written.identity == opened; });
  if (earlier != record.written.end()) {
    reason = "it is " + earlier->name + ", written earlier in this run";
    return false;
  }
  return true;
}

}  // namespace

void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber) {
  // The capacity holds any 32-bit number, so the name is never cut short.
  (void)std::snprintf(fileName, kChunkFileNameCapacity, "ZK%03d", static_cast<int>(fileNumber));
}

void beginChunkFiles(const FileIdentity* image) {
  record.imageKnown = image != nullptr;
  record.image = image != nullptr ? *image : FileIdentity{};
  record.written.clear();
}

bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size) {
  std::string reason;
  std::optional<FileIdentity> existing;
  if (!writeFileInPlace(fileName, data, size, mayRewrite, existing, reason)) {
    // A failing standard output is reported once, at the end of the run.
    reportFailure(std::string("write ") + fileName, reason);
    return false;
  }
  // A file the run created has no other name that a later chunk could use.
  if (existing) {
    record.written.push_back({*existing, fileName});
  }
  return true;
}
