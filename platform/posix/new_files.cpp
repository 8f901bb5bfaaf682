// New chunk files on POSIX systems: written without a name, or under a temporary name of the
// run's own, and given the chunk's name only when complete and only while it is free.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// New chunk files get the mode the user's umask allows, as with any file a program creates.
constexpr mode_t kNewFileMode = 0666;
// A file under a temporary name is its owner's alone until it is complete and given its mode.
constexpr mode_t kPrivateFileMode = 0600;

mode_t newFileMode() {
#ifdef __EMSCRIPTEN__
  // The browser's in-memory file system reports a umask of 0777 that it never applies to the
  // files it makes; taken at its word, it would make every chunk file unreadable.
  return kNewFileMode;
#else
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    (void)umask(mask);
    return kNewFileMode & ~mask;
  }();
  return mode;
#endif
}

// Cleared when the folder's file system cannot make unnamed files, or cannot name them.
#if defined(__linux__) && defined(O_TMPFILE)
bool unnamedFilesWork = true;
#else
bool unnamedFilesWork = false;
#endif

// Whether an open with O_TMPFILE failed only because the system or file system lacks it; older
// kernels take it for a plain directory open (EISDIR).
[[maybe_unused]] bool unnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

enum class LinkResult { kLinked, kFailed, kUnsupported };

// Gives an unnamed file the name name; an existing name is never replaced.
LinkResult linkUnnamedFile(int descriptor, const char* name) {
  // Linking a descriptor directly (AT_EMPTY_PATH) takes a capability that ordinary users lack
  // before Linux 6.10; its entry under /proc works for every user, where /proc is mounted.
  const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
  if (retryInterrupted(
          [&] { return linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW); }) == 0) {
    return LinkResult::kLinked;
  }
#ifdef AT_EMPTY_PATH
  if (errno == ENOENT && retryInterrupted([&] {
                           return linkat(descriptor, "", AT_FDCWD, name, AT_EMPTY_PATH);
                         }) == 0) {
    return LinkResult::kLinked;
  }
#endif
  // No /proc and the capability refused, or a file system without links: files under a
  // temporary name work there.
  return errno == ENOENT || linksUnsupported(errno) ? LinkResult::kUnsupported
                                                    : LinkResult::kFailed;
}

}  // namespace

bool createStandIn(const char* fileName, StandIn& file, int& error) {
  // A file whose name could not be made to last is not begun.
  if (!openFolder()) {
    error = errno;
    return false;
  }
#if defined(__linux__) && defined(O_TMPFILE)
  if (unnamedFilesWork) {
    file.descriptor.reset(openFile(".", O_TMPFILE | O_RDWR, kNewFileMode));
    if (!file.descriptor.isOpen() && !unnamedFilesUnsupported(errno)) {
      error = errno;
      return false;
    }
    unnamedFilesWork = file.descriptor.isOpen();
  }
#endif
  if (!unnamedFilesWork) {
    int opened = -1;
    if (!claimTemporaryName(fileName, file.temporaryName, [&](const char* name) {
          opened = openFile(name, O_RDWR | O_CREAT | O_EXCL, kPrivateFileMode);
          return opened >= 0;
        })) {
      error = errno;
      file.temporaryName.clear();
      return false;
    }
    file.descriptor.reset(opened);
  }
  if (!inspectDescriptor(file.descriptor.get(), file.status, file.identity)) {
    error = errno;
    (void)file.descriptor.close();
    // Made by this run with O_EXCL a moment ago, so the name is the run's own.
    if (!file.temporaryName.empty()) {
      (void)unlink(file.temporaryName.c_str());
    }
    return false;
  }
  return true;
}

void discardStandIn(StandIn& file, FileWriteResult& result) {
  (void)file.descriptor.close();
  if (!file.temporaryName.empty() && !removeTemporary(file.temporaryName, file.identity)) {
    noteLeftover(result, file.temporaryName, errno);
  }
}

bool nameStandIn(const char* fileName, StandIn& file, bool& unnamedFilesLost,
                 FileWriteResult& result) {
  LinkResult linked = LinkResult::kFailed;
  if (claimTemporaryName(fileName, file.temporaryName, [&](const char* name) {
        linked = linkUnnamedFile(file.descriptor.get(), name);
        return linked == LinkResult::kLinked;
      })) {
    return true;
  }
  result.reason = errnoText(errno);
  file.temporaryName.clear();
  unnamedFilesLost = linked == LinkResult::kUnsupported;
  if (unnamedFilesLost) {
    unnamedFilesWork = false;
  }
  return false;
}

// A file system that keeps neither mode nor group shows its own, which then must already be the
// ones wanted.
bool giveModeAndGroup(const StandIn& file, mode_t mode, gid_t group) {
  const int descriptor = file.descriptor.get();
  // Changing the group clears the set-ID bits, so it comes first.
  if (file.status.st_gid != group &&
      retryInterrupted([&] { return fchown(descriptor, static_cast<uid_t>(-1), group); }) != 0) {
    return false;
  }
  if ((file.status.st_mode & kPermissionBits) != mode || file.status.st_gid != group) {
    (void)retryInterrupted([&] { return fchmod(descriptor, mode); });
  }
  struct stat status {};
  return fstat(descriptor, &status) == 0 && (status.st_mode & kPermissionBits) == mode &&
         status.st_gid == group;
}

FileWriteResult writeNewFile(const char* fileName, const uint8_t* data, size_t size) {
  FileWriteResult result;
  StagedFile staged;
  int error = 0;
  size_t changed = 0;
  if (!createStandIn(fileName, staged.file, error)) {
    result.reason = errnoText(error);
    return result;
  }
  if (!writeAll(staged.file.descriptor.get(), data, size, error, changed)) {
    result.reason = errnoText(error);
    discardStandIn(staged.file, result);
    return result;
  }
  if (!staged.file.temporaryName.empty()) {
    // Some file systems keep no modes (FAT): the file then shows the one they give every file.
    (void)retryInterrupted([&] { return fchmod(staged.file.descriptor.get(), newFileMode()); });
  }
  staged.fileName = fileName;
  staged.data = data;
  staged.size = size;
  stageFile(std::move(staged), result);
  return result;
}

Naming nameNewFile(const char* fileName, StandIn& file, FileWriteResult& result) {
  result.written = file.identity;
  if (file.temporaryName.empty()) {
    const LinkResult linked = linkUnnamedFile(file.descriptor.get(), fileName);
    if (linked == LinkResult::kUnsupported) {
      unnamedFilesWork = false;
      return Naming::kUnnameable;
    }
    if (linked == LinkResult::kFailed) {
      result.reason = errnoText(errno);
      return Naming::kDone;
    }
    // Closed only now, as the link needs the descriptor; a late write error takes the name
    // back, which was free before.
    if (!file.descriptor.close()) {
      result.reason = errnoText(errno);
      result.left = withdrawFile(fileName, result.written, file.descriptor, result);
      return Naming::kDone;
    }
    result.complete = true;
    return Naming::kDone;
  }
  bool temporaryKept = false;
  if (!moveIfFree(file.temporaryName.c_str(), fileName, temporaryKept)) {
    result.reason = errnoText(errno);
    discardStandIn(file, result);
    return Naming::kDone;
  }
  if (temporaryKept) {
    noteLeftover(result, file.temporaryName, errno);
  }
  result.complete = true;
  return Naming::kDone;
}

bool rewriteUnderTemporaryName(const char* fileName, const uint8_t* data, size_t size,
                               const struct stat* older, StandIn& file, FileWriteResult& result) {
  (void)file.descriptor.close();
  file = StandIn();
  int error = 0;
  size_t changed = 0;
  if (!createStandIn(fileName, file, error)) {
    result.reason = errnoText(error);
    return false;
  }
  const int descriptor = file.descriptor.get();
  bool written = writeAll(descriptor, data, size, error, changed);
  if (written && older != nullptr) {
    written = giveModeAndGroup(file, older->st_mode & kPermissionBits, older->st_gid);
    error = errno;
  } else if (written) {
    (void)retryInterrupted([&] { return fchmod(descriptor, newFileMode()); });
  }
  if (written && !(flushFile(descriptor) && file.descriptor.close())) {
    written = false;
    error = errno;
  }
  if (!written) {
    result.reason = errnoText(error);
    discardStandIn(file, result);
  }
  return written;
}

}  // namespace posix_files
