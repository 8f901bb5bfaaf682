// Chunk files on POSIX systems whose name already shows something: what may be written, a file
// that already holds its chunk, and a file rewritten in place where it cannot be replaced.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

// Before anything in the file changes: whether the system's file size limit and free space
// allow size bytes in it. Copy-on-write file systems reserve nothing this way; a write that
// then fails at once has changed nothing either.
bool roomFor(int descriptor, size_t size, int& error) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    error = EFBIG;
    return false;
  }
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
  if (retryInterrupted([&] {
        return fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
      }) != 0 &&
      (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
    error = errno;
    return false;
  }
#else
  (void)descriptor;
#endif
  return true;
}

}  // namespace

// The chunk's length whatever length another process gave the file meanwhile; flushed before it
// counts as written, since no older copy stays to fall back on.
void rewriteInPlace(Descriptor& file, const char* fileName, const FileIdentity& identity,
                    const uint8_t* data, size_t size, FileWriteResult& result) {
  int error = 0;
  size_t changed = 0;
  if (!roomFor(file.get(), size, error)) {
    result.reason = errnoText(error);
    return;
  }
  bool written = writeAll(file.get(), data, size, error, changed);
  if (written &&
      retryInterrupted([&] { return ftruncate(file.get(), static_cast<off_t>(size)); }) != 0) {
    error = errno;
    // A file no longer than the chunk holds it whole without the cut.
    struct stat status {};
    written = fstat(file.get(), &status) == 0 && static_cast<uint64_t>(status.st_size) == size;
  }
  // Some file systems report a failed write only when the file is flushed or closed.
  if (written && !(flushFile(file.get()) && file.close())) {
    error = errno;
    written = false;
  }
  // Another process may have put its own file under the name, or removed it, meanwhile. A
  // network file system may show the same file under another number, so it is not asked.
  if (written && !folderOnNetwork() && lookAtName(fileName, identity) == NameShows::kOther) {
    result.reason = faccessat(AT_FDCWD, fileName, F_OK, AT_SYMLINK_NOFOLLOW) == 0
                        ? "another file took its place meanwhile"
                        : "its name was removed meanwhile";
    return;
  }
  if (written) {
    result.written = identity;
    result.complete = true;
    return;
  }
  result.reason = errnoText(error);
  if (changed > 0) {
    result.left = withdrawFile(fileName, identity, file, result);
  }
}

namespace {

FileWriteResult writeExistingFile(const char* fileName, const uint8_t* data, size_t size,
                                  const ExistingFileRules& rules) {
  FileWriteResult result;
  // Read access serves only to compare; a file the user may write but not read is written.
  bool readable = true;
  Descriptor file(openFile(fileName, O_RDWR));
  if (!file.isOpen() && errno == EACCES) {
    readable = false;
    file.reset(openFile(fileName, O_WRONLY));
  }
  if (!file.isOpen()) {
    // The name went away after it was looked at: the file is then a new one.
    if (errno == ENOENT) {
      return writeNewFile(fileName, data, size);
    }
    result.reason = errno == ELOOP ? "it is a symbolic link" : errnoText(errno);
    return result;
  }
  // Checked on the file actually opened, whatever the name showed before.
  struct stat status {};
  FileIdentity identity;
  if (!inspectDescriptor(file.get(), status, identity)) {
    result.reason = errnoText(errno);
    return result;
  }
  if (!S_ISREG(status.st_mode)) {
    result.reason = describeNonRegularFile(status.st_mode);
    return result;
  }
  if (!rules.mayWrite(identity, static_cast<uint64_t>(status.st_size), result.reason)) {
    return result;
  }
  // Before any path that changes the file, its time included.
  if (mayBeTheImage(file.get(), status, readable, rules)) {
    result.reason = "it may be the image being read";
    return result;
  }
  if (readable && static_cast<uint64_t>(status.st_size) == size &&
      compareStart(file.get(), data, size) == FileStart::kSame) {
    // Nothing is written, so nothing can fail half-way; the time still tells that this run
    // wrote the file, where the file system can keep it.
    (void)retryInterrupted([&] { return futimens(file.get(), nullptr); });
    result.written = identity;
    result.complete = true;
    return result;
  }
  if (replaceableWithoutLoss(file.get(), status) &&
      replaceFile(fileName, file, status, data, size, result) != Replacement::kNotPossible) {
    return result;
  }
  rewriteInPlace(file, fileName, identity, data, size, result);
  return result;
}

}  // namespace
}  // namespace posix_files

FileWriteResult writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                               const ExistingFileRules& rules) {
  // Looked at before anything is opened: opening a FIFO or a device can have effects of its own.
  struct stat status {};
  if (lstat(fileName, &status) != 0) {
    if (errno != ENOENT) {
      FileWriteResult result;
      result.reason = errnoText(errno);
      return result;
    }
    return posix_files::writeNewFile(fileName, data, size);
  }
  if (!S_ISREG(status.st_mode)) {
    FileWriteResult result;
    result.reason = posix_files::describeNonRegularFile(status.st_mode);
    return result;
  }
  return posix_files::writeExistingFile(fileName, data, size, rules);
}
