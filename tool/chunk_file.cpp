#include "tool/chunk_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tool/chunk_scanner.h"
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
  // The image's size and first bytes, which mark it however it is reached.
  uint64_t imageSize = 0;
  std::vector<uint8_t> imageHead;
  std::optional<FileIdentity> standardOutput;
  std::optional<FileIdentity> standardError;
  std::vector<WrittenChunkFile> written;
};

// A chunk file written and not yet named or reported, in the order the chunks were found.
struct UnfinishedChunkFile {
  std::string name;
  FileWriteResult result;
};

ChunkFileRecord record;
std::vector<UnfinishedChunkFile> unfinished;

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
  const auto earlier = std::find_if(record.written.begin(), record.written.end(),
                                    [&opened](const WrittenChunkFile& written) {
                                      return sameFileOverTime(written.identity, opened);
                                    });
  if (earlier != record.written.end()) {
    reason = "it is " + earlier->name + ", written earlier in this run";
    return false;
  }
  return true;
}

// The rules every existing file is held to before it is written.
ExistingFileRules existingFileRules() {
  ExistingFileRules rules;
  rules.mayWrite = mayWrite;
  if (!record.imageHead.empty()) {
    rules.imageSize = record.imageSize;
    rules.imageHead = record.imageHead.data();
    rules.imageHeadSize = record.imageHead.size();
  }
  return rules;
}

// What the report adds about the chunk's name after a failure that had changed the file.
const char* whatWasLeft(NameLeft left) {
  switch (left) {
    case NameLeft::kEmptied:
      return "; left empty";
    case NameLeft::kIncomplete:
      return "; left incomplete";
    case NameLeft::kAsItWas:
    case NameLeft::kRemoved:
      break;
  }
  return "";
}

}  // namespace

void formatChunkFileName(char (&fileName)[kChunkFileNameCapacity], int32_t fileNumber) {
  // The capacity holds any 32-bit number, so the name is never cut short.
  (void)std::snprintf(fileName, kChunkFileNameCapacity, "ZK%03d", static_cast<int>(fileNumber));
}

bool standardStreamShowsImage(int descriptor) {
  return standardStreamMayBeImage(descriptor, existingFileRules());
}

void beginChunkFiles(const ProtectedFiles& files) {
  record.image = known(files.image);
  record.imageSize = files.imageSize;
  record.imageHead.assign(files.imageHead, files.imageHead + files.imageHeadSize);
  record.standardOutput = known(files.standardOutput);
  record.standardError = known(files.standardError);
  record.written.clear();
  unfinished.clear();
  unfinished.reserve(kScannedBlocks);
}

void announceChunkFile(const char* fileName) {
  queueStandardOutput(fileName, std::strlen(fileName));
  queueStandardOutput("\n", 1);
}

bool writeChunkFile(const char* fileName, const uint8_t* data, size_t size) {
  FileWriteResult result = writeFileWhole(fileName, data, size, existingFileRules());
  if (result.complete) {
    // Any other name this file gets, from this run or another process, is refused later.
    record.written.push_back({result.written, fileName});
  }
  unfinished.push_back({fileName, std::move(result)});
  // A signal that came meanwhile ends the run once the files written so far have their names.
  if (stagedFilesFull() || endingSignalWaits()) {
    return finishChunkFiles();
  }
  return true;
}

bool finishChunkFiles() {
  int folderError = 0;
  std::vector<FileWriteResult> named = nameStagedFiles(folderError);
  size_t next = 0;
  bool allWritten = true;
  for (UnfinishedChunkFile& file : unfinished) {
    if (file.result.staged && next < named.size()) {
      file.result = std::move(named[next++]);
      if (file.result.complete) {
        record.written.push_back({file.result.written, file.name});
      }
    }
    announceChunkFile(file.name.c_str());
    const FileWriteResult& result = file.result;
    if (!result.complete) {
      reportFailure("write " + file.name, result.reason + whatWasLeft(result.left));
    }
    if (!result.leftover.empty()) {
      reportFailure("remove " + result.leftover, result.leftoverReason);
    }
    allWritten = allWritten && result.complete && result.leftover.empty();
  }
  unfinished.clear();
  if (folderError != 0) {
    reportFailure("flush the folder's entries to the disk", errnoText(folderError));
    allWritten = false;
  }
  endRunIfSignalled();
  return allWritten;
}
