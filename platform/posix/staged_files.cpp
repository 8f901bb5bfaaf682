// Complete chunk files waiting for their names on POSIX systems: their bytes go to the disk
// together, with one flush where the file system allows, and only then does each get its name,
// so that after a power cut no name shows a file whose bytes were still in memory.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// A disk gives at most 390 chunks; more than that waiting at once gains nothing.
constexpr size_t kMostStaged = 390;
// Descriptors left for the image, the standard streams, the folder and a file being checked.
constexpr rlim_t kDescriptorsKept = 16;

std::vector<StagedFile> staged;
size_t descriptorsHeld = 0;

size_t heldBy(const StagedFile& file) {
  return (file.file.descriptor.isOpen() ? 1 : 0) + (file.older.isOpen() ? 1 : 0);
}

// How many descriptors the staged files may hold, from the limit the process runs under.
size_t descriptorRoom() {
  static const size_t room = [] {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
      return 2 * kMostStaged;
    }
    return limit.rlim_cur > kDescriptorsKept + 2
               ? static_cast<size_t>(limit.rlim_cur - kDescriptorsKept)
               : size_t{2};
  }();
  return room;
}

// Gives one staged file its name; a file whose unnamed stand-in cannot be named here is
// written again under a temporary name, and a replacement that cannot take the older file's
// place is written in place after all.
FileWriteResult giveName(StagedFile& file) {
  FileWriteResult result;
  for (int round = 0; round < 2; ++round) {
    result = FileWriteResult();
    const Naming naming = file.replaces ? nameReplacement(file, result)
                                        : nameNewFile(file.fileName.c_str(), file.file, result);
    if (naming == Naming::kDone) {
      file.tookFreeName = !file.replaces && result.complete;
      return result;
    }
    if (naming == Naming::kRewriteInPlace) {
      rewriteInPlace(file.older, file.fileName.c_str(), identityOf(file.olderStatus), file.data,
                     file.size, result);
      return result;
    }
    if (!rewriteUnderTemporaryName(file.fileName.c_str(), file.data, file.size,
                                   file.replaces ? &file.olderStatus : nullptr, file.file,
                                   result)) {
      return result;
    }
  }
  return result;
}

// Takes back the name given to a complete file when the folder's entries could not be flushed,
// so that no name stays that may not be on the disk: a new file's name is removed, an exchanged
// older file gets its name back. False when the name stays: an older file renamed over is gone.
bool takeBackName(const StagedFile& file, FileWriteResult& result, int error) {
  const char* fileName = file.fileName.c_str();
  bool takenBack = false;
  if (file.tookFreeName) {
    takenBack = lookAtName(fileName, result.written) == NameShows::kThatFile &&
                retryInterrupted([&] { return unlink(fileName); }) == 0;
  } else if (!file.olderKeptAs.empty()) {
    takenBack = exchangeBack(file, result.written);
    if (takenBack && !removeTemporary(file.olderKeptAs, result.written)) {
      noteLeftover(result, file.olderKeptAs, errno);
    }
  }
  if (takenBack) {
    result.complete = false;
    result.reason = errnoText(error);
  }
  return takenBack;
}

}  // namespace

void stageFile(StagedFile&& file, FileWriteResult& result) {
  result.written = file.file.identity;
  const int descriptor = file.file.descriptor.get();
  if (flushWay() == FlushWay::kFileByFile) {
    if (!flushFile(descriptor)) {
      result.reason = errnoText(errno);
      discardStandIn(file.file, result);
      return;
    }
    file.flushed = true;
  }
  // A file under a temporary name needs no descriptor to be named; some file systems report a
  // failed write only when it is closed.
  if (!file.file.temporaryName.empty() && !file.file.descriptor.close()) {
    result.reason = errnoText(errno);
    discardStandIn(file.file, result);
    return;
  }
  descriptorsHeld += heldBy(file);
  // Room for a disk's files at once, so that none is moved while they wait.
  staged.reserve(kMostStaged);
  staged.push_back(std::move(file));
  result.staged = true;
}

}  // namespace posix_files

using posix_files::StagedFile;

bool stagedFilesFull() {
  using posix_files::FlushWay;
  // Room for one more replacement, which holds two; files in memory gain nothing by waiting.
  return posix_files::staged.size() >= posix_files::kMostStaged ||
         posix_files::descriptorsHeld + 2 > posix_files::descriptorRoom() ||
         posix_files::flushWay() == FlushWay::kNone;
}

std::vector<FileWriteResult> nameStagedFiles(int& folderError) {
  std::vector<StagedFile> files;
  files.swap(posix_files::staged);
  posix_files::descriptorsHeld = 0;
  std::vector<FileWriteResult> results(files.size());
  if (files.empty()) {
    return results;
  }
  const bool flushed =
      std::all_of(files.begin(), files.end(), [](const StagedFile& file) { return file.flushed; });
  if (!flushed && !posix_files::flushFileSystem()) {
    // Which file's bytes were lost cannot be told, so none of them gets its name; a second flush
    // could report success over bytes the system has dropped.
    const int error = errno;
    for (size_t i = 0; i < files.size(); ++i) {
      results[i].reason = errnoText(error);
      posix_files::discardStandIn(files[i].file, results[i]);
    }
    return results;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    results[i] = posix_files::giveName(files[i]);
  }
  if (!posix_files::flushFolder()) {
    const int error = errno;
    bool namesStay = false;
    for (size_t i = 0; i < files.size(); ++i) {
      namesStay =
          (results[i].complete && !posix_files::takeBackName(files[i], results[i], error)) ||
          namesStay;
    }
    if (namesStay) {
      folderError = error;
    }
    return results;
  }
  // The older files go only now that their replacements' names are on the disk; that they are
  // gone is flushed too, so that none is found again under its temporary name after a power cut.
  bool removed = false;
  for (size_t i = 0; i < files.size(); ++i) {
    const StagedFile& file = files[i];
    if (!file.olderKeptAs.empty()) {
      if (!posix_files::removeTemporary(file.olderKeptAs,
                                        posix_files::identityOf(file.olderStatus))) {
        posix_files::noteLeftover(results[i], file.olderKeptAs, errno);
      }
      removed = true;
    }
  }
  if (removed && !posix_files::flushFolder()) {
    folderError = errno;
  }
  return results;
}
