// The run's own names on POSIX systems: moving a complete file to a chunk's name without
// replacing another, and taking a failed file's name away again.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// How the folder's file system moves a name without replacing another. Every chunk file goes to
// the same folder, so the first move that finds a way tells it for the whole run.
enum class NoReplaceMove { kRenameFlag, kLink, kCheckFirst };
NoReplaceMove noReplaceMove = NoReplaceMove::kRenameFlag;

}  // namespace

bool renameFlagsUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// FAT, exFAT, SMB and the browser's in-memory file system (which says EMLINK) have no hard
// links. The files linked are the run's own with one link, so no other limit on links can be
// what failed.
bool linksUnsupported(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

bool moveIfFree(const char* from, const char* to, bool& fromKept) {
  fromKept = false;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (noReplaceMove == NoReplaceMove::kRenameFlag) {
    if (retryInterrupted(
            [&] { return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); }) == 0) {
      return true;
    }
    if (!renameFlagsUnsupported(errno)) {
      return false;
    }
    noReplaceMove = NoReplaceMove::kLink;
  }
#else
  if (noReplaceMove == NoReplaceMove::kRenameFlag) {
    noReplaceMove = NoReplaceMove::kLink;
  }
#endif
  if (noReplaceMove == NoReplaceMove::kLink) {
    // A link fails when the name is taken; the old name then goes.
    if (retryInterrupted([&] { return link(from, to); }) == 0) {
      fromKept = retryInterrupted([&] { return unlink(from); }) != 0;
      return true;
    }
    if (!linksUnsupported(errno)) {
      return false;
    }
    noReplaceMove = NoReplaceMove::kCheckFirst;
  }
  // The name is looked at, then taken by a plain rename: the instant between the two is the one
  // place where a file that another process makes under that very name can be replaced.
  struct stat status {};
  if (lstat(to, &status) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) {
    return false;
  }
  return retryInterrupted([&] { return rename(from, to); }) == 0;
}

bool removeTemporary(const std::string& name, const FileIdentity& identity) {
  switch (lookAtName(name.c_str(), identity)) {
    case NameShows::kThatFile:
      return retryInterrupted([&] { return unlink(name.c_str()); }) == 0 || errno == ENOENT;
    case NameShows::kOther:
      return true;
    case NameShows::kUnknown:
      break;
  }
  return false;
}

// The file is emptied first, so that no other link to it keeps partial bytes; only then is the
// name moved to a name of the run's own and removed there, and moved back when another
// process's file had taken it meanwhile.
NameLeft withdrawFile(const char* fileName, const FileIdentity& identity, Descriptor& open,
                      FileWriteResult& result) {
  if (!open.isOpen()) {
    open.reset(openFile(fileName, O_WRONLY));
    if (!open.isOpen()) {
      return errno == ENOENT ? NameLeft::kRemoved : NameLeft::kIncomplete;
    }
    struct stat status {};
    FileIdentity opened;
    if (!inspectDescriptor(open.get(), status, opened)) {
      return NameLeft::kIncomplete;
    }
    // Another process's file stands under the name now; the run's own is gone from it.
    if (!(opened == identity)) {
      return NameLeft::kRemoved;
    }
  }
  const bool emptied = retryInterrupted([&] { return ftruncate(open.get(), 0); }) == 0;
  (void)open.close();
  // Without its name, another name of the file would keep part of the chunk among old bytes
  // unseen; the chunk's name stays and the report says what it holds.
  if (!emptied) {
    return NameLeft::kIncomplete;
  }
  // A network file system may give the name moved away another number, so that the run's own
  // file would pass for another process's: there the emptied file keeps its name.
  if (folderOnNetwork()) {
    return NameLeft::kEmptied;
  }
  std::string taken;
  bool nameKept = false;
  if (!claimTemporaryName(fileName, taken,
                          [&](const char* name) { return moveIfFree(fileName, name, nameKept); })) {
    return NameLeft::kEmptied;
  }
  const NameShows shows = lookAtName(taken.c_str(), identity);
  if (nameKept) {
    // The chunk's name could not be removed after a link: the link made just now goes again.
    if (retryInterrupted([&] { return unlink(taken.c_str()); }) != 0) {
      noteLeftover(result, taken, errno);
    }
    return shows == NameShows::kOther ? NameLeft::kRemoved : NameLeft::kEmptied;
  }
  if (shows == NameShows::kThatFile) {
    if (retryInterrupted([&] { return unlink(taken.c_str()); }) != 0) {
      noteLeftover(result, taken, errno);
    }
  } else if (shows == NameShows::kUnknown) {
    // Whose file it is cannot be told, so it is not removed.
    noteLeftover(result, taken, errno);
  } else {
    // Another process's file had taken the chunk's name: it gets it back.
    bool takenKept = false;
    if (!moveIfFree(taken.c_str(), fileName, takenKept) || takenKept) {
      noteLeftover(result, taken, errno);
    }
  }
  return NameLeft::kRemoved;
}

}  // namespace posix_files
