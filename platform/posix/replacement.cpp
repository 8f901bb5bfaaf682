// An older chunk file replaced whole on POSIX systems: a complete new file with the old one's
// mode and group takes its place, and only when nothing the old one had is lost by it.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// Cleared when the folder's file system cannot exchange two names (FUSE ones among others).
#if defined(__linux__) && defined(RENAME_EXCHANGE)
bool exchangeWorks = true;
#endif

// The new file goes again after a move that failed. A mount point under the name (a bind mount)
// cannot be replaced, only written.
Replacement moveFailed(const std::string& temporary, const FileIdentity& made, int error,
                       FileWriteResult& result) {
  if (!removeTemporary(temporary, made)) {
    noteLeftover(result, temporary, errno);
  }
  if (error == EBUSY) {
    return Replacement::kNotPossible;
  }
  result.reason = errnoText(error);
  return Replacement::kFailed;
}

Replacement anotherFileTookThePlace(const std::string& temporary, const FileIdentity& made,
                                    FileWriteResult& result) {
  if (!removeTemporary(temporary, made)) {
    noteLeftover(result, temporary, errno);
  }
  result.reason = "another file took its place meanwhile";
  return Replacement::kFailed;
}

// Puts the complete file named temporary in the place of fileName, checking that what it takes
// out is the file checked before; another process's file keeps the name. olderKept is set when
// the older file is left under the temporary name, exchanged.
Replacement exchangeFiles(const std::string& temporary, const char* fileName,
                          const FileIdentity& old, const FileIdentity& made, bool& olderKept,
                          FileWriteResult& result) {
  const char* from = temporary.c_str();
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  const auto exchange = [&] {
    return retryInterrupted(
        [&] { return renameat2(AT_FDCWD, from, AT_FDCWD, fileName, RENAME_EXCHANGE); });
  };
  if (exchangeWorks) {
    if (exchange() == 0) {
      switch (lookAtName(from, old)) {
        case NameShows::kThatFile:
          // Removed only once the new name is on the disk.
          olderKept = true;
          return Replacement::kDone;
        case NameShows::kUnknown:
          // The chunk has its name; whose file the temporary name now holds cannot be told, so
          // it stays.
          noteLeftover(result, temporary, errno);
          return Replacement::kDone;
        case NameShows::kOther:
          break;
      }
      // Another process's file stood under the name: it gets its name back.
      if (exchange() != 0) {
        noteLeftover(result, temporary, errno);
        result.reason = "another file took its place meanwhile";
        return Replacement::kFailed;
      }
      return anotherFileTookThePlace(temporary, made, result);
    }
    if (!renameFlagsUnsupported(errno)) {
      return moveFailed(temporary, made, errno, result);
    }
    exchangeWorks = false;
  }
#endif
  // Renamed over, the older file goes at once: nothing stays to be removed later.
  olderKept = false;
  // Without an exchange, as rsync replaces a file: the name is checked, then the new file is
  // renamed over it. The instant between the two is the one place where a file that another
  // process saves under the name meanwhile is replaced.
  switch (lookAtName(fileName, old)) {
    case NameShows::kThatFile:
      break;
    case NameShows::kOther:
      return anotherFileTookThePlace(temporary, made, result);
    case NameShows::kUnknown:
      return moveFailed(temporary, made, errno, result);
  }
  if (retryInterrupted([&] { return rename(from, fileName); }) != 0) {
    return moveFailed(temporary, made, errno, result);
  }
  return Replacement::kDone;
}

}  // namespace

// The rule vim follows before it writes a new file in place of an old one: the old one has no
// other name, belongs to the user and carries no extended attributes (ACLs among them) that a
// new file would lack. A network file system may not show them, so there none is assumed.
bool replaceableWithoutLoss(int descriptor, const struct stat& status) {
  if (status.st_nlink != 1 || status.st_uid != geteuid() || folderOnNetwork()) {
    return false;
  }
#ifdef __linux__
  const ssize_t listed = flistxattr(descriptor, nullptr, 0);
  return listed == 0 || (listed < 0 && errno == ENOTSUP);
#else
  // Where the attributes cannot be listed, they cannot be carried over either.
  (void)descriptor;
  return false;
#endif
}

// kNotPossible when the new file cannot be made so that nothing is lost (a folder the user may
// not change, a mode, group or inode flag the file system does not reproduce); a passing
// shortage (descriptors, inodes, space) fails the chunk instead, with the old file as it was.
Replacement replaceFile(const char* fileName, Descriptor& older, const struct stat& old,
                        const uint8_t* data, size_t size, FileWriteResult& result) {
  StagedFile staged;
  int error = 0;
  size_t changed = 0;
  if (!createStandIn(fileName, staged.file, error)) {
    if (error == EACCES || error == EPERM || error == EROFS) {
      return Replacement::kNotPossible;
    }
    result.reason = errnoText(error);
    return Replacement::kFailed;
  }
  if (!keepsInodeFlags(older.get(), staged.file.descriptor.get())) {
    discardStandIn(staged.file, result);
    return Replacement::kNotPossible;
  }
  if (!writeAll(staged.file.descriptor.get(), data, size, error, changed)) {
    result.reason = errnoText(error);
    discardStandIn(staged.file, result);
    return Replacement::kFailed;
  }
  // Given after the write, which would clear a set-group-ID bit again.
  if (!giveModeAndGroup(staged.file, old.st_mode & kPermissionBits, old.st_gid)) {
    discardStandIn(staged.file, result);
    return Replacement::kNotPossible;
  }
  staged.fileName = fileName;
  staged.data = data;
  staged.size = size;
  staged.older = std::move(older);
  staged.olderStatus = old;
  staged.replaces = true;
  stageFile(std::move(staged), result);
  return result.staged ? Replacement::kDone : Replacement::kFailed;
}

Naming nameReplacement(StagedFile& staged, FileWriteResult& result) {
  StandIn& file = staged.file;
  const char* fileName = staged.fileName.c_str();
  result.written = file.identity;
  // The exchange takes two names; an unnamed file gets a temporary one first.
  bool unnamedFilesLost = false;
  if (file.temporaryName.empty() && !nameStandIn(fileName, file, unnamedFilesLost, result)) {
    return unnamedFilesLost ? Naming::kUnnameable : Naming::kDone;
  }
  if (!file.descriptor.close()) {
    result.reason = errnoText(errno);
    discardStandIn(file, result);
    return Naming::kDone;
  }
  bool olderKept = false;
  const Replacement replaced =
      exchangeFiles(file.temporaryName, fileName, identityOf(staged.olderStatus), file.identity,
                    olderKept, result);
  if (olderKept) {
    staged.olderKeptAs = file.temporaryName;
  }
  if (replaced == Replacement::kNotPossible) {
    return Naming::kRewriteInPlace;
  }
  result.complete = replaced == Replacement::kDone;
  return Naming::kDone;
}

bool exchangeBack(const StagedFile& staged, const FileIdentity& made) {
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  const char* fileName = staged.fileName.c_str();
  const char* older = staged.olderKeptAs.c_str();
  return lookAtName(fileName, made) == NameShows::kThatFile &&
         retryInterrupted(
             [&] { return renameat2(AT_FDCWD, older, AT_FDCWD, fileName, RENAME_EXCHANGE); }) == 0;
#else
  (void)staged;
  (void)made;
  return false;
#endif
}

}  // namespace posix_files
