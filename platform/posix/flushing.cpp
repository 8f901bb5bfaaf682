// Written bytes and names onto the disk on POSIX systems: the folder's whole file system at
// once where its flush reaches the device, file by file where it does not, not at all where the
// files are in memory.
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// The run's folder, open for the whole run once it is.
int folder = -1;

// Whether a flush failed only because the file or file system has nothing it can flush.
bool nothingToFlush(int error) {
  return error == EINVAL || error == EOPNOTSUPP || error == ENOSYS || error == EROFS;
}

#ifdef __linux__
// How the folder's file system is flushed, from its type: a file system in memory has no disk;
// a FUSE file system's flush of the whole file system reaches neither its device nor its
// server, while a file's own flush is passed on to the program behind it.
FlushWay flushWayOfFolder() {
  struct statfs fileSystem {};
  if (statfs(".", &fileSystem) != 0) {
    return folderOnNetwork() ? FlushWay::kFileByFile : FlushWay::kWholeFileSystem;
  }
  const auto type = static_cast<unsigned long>(fileSystem.f_type);
  if (type == TMPFS_MAGIC || type == RAMFS_MAGIC) {
    return FlushWay::kNone;
  }
  return type == FUSE_SUPER_MAGIC || folderOnNetwork() ? FlushWay::kFileByFile
                                                       : FlushWay::kWholeFileSystem;
}
#endif

}  // namespace

bool openFolder() {
  if (folder < 0) {
    folder = openFile(".", O_RDONLY | O_DIRECTORY);
  }
  return folder >= 0;
}

FlushWay flushWay() {
#ifdef __linux__
  static const FlushWay way = flushWayOfFolder();
  return way;
#else
  return FlushWay::kFileByFile;
#endif
}

bool flushFile(int descriptor) {
  return retryInterrupted([&] { return fdatasync(descriptor); }) == 0 || nothingToFlush(errno);
}

bool flushFileSystem() {
  // cppcheck-suppress knownConditionTrueFalse ; only Linux tells a file system in memory
  if (flushWay() == FlushWay::kNone) {
    return true;
  }
#ifdef __linux__
  // Reports a failure to write back any file of the file system since the folder was opened,
  // which was before the first file written.
  return openFolder() &&
         (retryInterrupted([&] { return syncfs(folder); }) == 0 || nothingToFlush(errno));
#else
  errno = ENOSYS;
  return false;
#endif
}

bool flushFolder() {
  // cppcheck-suppress knownConditionTrueFalse ; only Linux tells a file system in memory
  if (flushWay() == FlushWay::kNone) {
    return true;
  }
  return openFolder() &&
         (retryInterrupted([&] { return fsync(folder); }) == 0 || nothingToFlush(errno));
}

}  // namespace posix_files
