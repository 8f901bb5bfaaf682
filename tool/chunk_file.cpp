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

// What a chunk file must never be written over: the image being read, the files standard
// output and standard error go to, and every file written earlier in the run, which holds a
// chunk of its own. Set by the entry before the scan starts.
struct ChunkFileRecord {
  std::optional<FileIdentity> image;
  std::optional<FileIdentity> standardOutput;
  std::optional<FileIdentity> standardError;
  std::vector<WrittenChunkFile> written;
};

ChunkFileRecord record;

std::optional<FileIdentity> known(const FileIdentity* identity) {
  return identity != nullptr ? std::optional<FileIdentity>(*identity) : std::nullopt;
}

// Whether an existing file opened under a chunk's name may be written.
bool mayWrite(const FileIdentity& opened, uint64_t size, std::string& reason) {
  // A file of size 0 cannot be the image, which holds at least one disk header whenever there
  // are chunks to write.
  if (record.image ? opened == *record.image : size > 0) {
    reason = record.image ? "it is the image being read"
                          : "cannot tell whether it is the image being read";
    return false;
  }
  if (record.standardOutput == opened || record.standardError == opened) {
    reason = record.standardOutput == opened ? "it is standard output" : "it is standard error";
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

void beginChunkFiles(const ProtectedFiles& files) {
  record.image = known(files.image);
  record.standardOutput = known(files.standardOutput);
  record.standardError = known(files.standardError);
  record.written.clear();
}

bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size) {
  std::string reason;
  FileIdentity written;
  const bool complete = writeFileWhole(fileName, data, size, mayWrite, written, reason);
  if (complete) {
    // Any other name this file gets, from this run or another process, is refused later.
    record.written.push_back({written, fileName});
  } else {
    reportFailure(std::string("write ") + fileName, reason);
  }
  endRunIfSignalled();
  return complete;
}
