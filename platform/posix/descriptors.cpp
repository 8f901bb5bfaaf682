// Open files on POSIX systems: how they are opened, told apart, written and compared.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/posix/posix_files.h"

namespace posix_files {

FileIdentity identityOf(const struct stat& status) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  return identity;
}

bool inspectDescriptor(int descriptor, struct stat& status, FileIdentity& identity) {
#if defined(__linux__) && defined(STATX_BTIME)
  // statx answers what fstat does in the same one call, and the birth time besides.
  struct statx extended {};
  if (statx(descriptor, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    status = {};
    status.st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
    status.st_ino = static_cast<ino_t>(extended.stx_ino);
    status.st_mode = static_cast<mode_t>(extended.stx_mode);
    status.st_nlink = static_cast<nlink_t>(extended.stx_nlink);
    status.st_uid = static_cast<uid_t>(extended.stx_uid);
    status.st_gid = static_cast<gid_t>(extended.stx_gid);
    status.st_size = static_cast<off_t>(extended.stx_size);
    identity = identityOf(status);
    if ((extended.stx_mask & STATX_BTIME) != 0) {
      constexpr uint64_t kNanosecondsPerSecond = 1000000000;
      identity.birth = static_cast<uint64_t>(extended.stx_btime.tv_sec) * kNanosecondsPerSecond +
                       extended.stx_btime.tv_nsec;
    }
    return true;
  }
  // The C library answers statx itself where the kernel lacks it.
  return false;
#else
  if (fstat(descriptor, &status) != 0) {
    return false;
  }
  identity = identityOf(status);
  return true;
#endif
}

const char* describeNonRegularFile(mode_t mode) {
  if (S_ISLNK(mode)) {
    return "it is a symbolic link";
  }
  if (S_ISDIR(mode)) {
    return "it is a directory";
  }
  if (S_ISFIFO(mode)) {
    return "it is a FIFO";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "it is a device";
  }
  if (S_ISSOCK(mode)) {
    return "it is a socket";
  }
  return "it is not a regular file";
}

// O_NOFOLLOW keeps a symbolic link from leading a write elsewhere, O_NONBLOCK keeps a FIFO that
// took a name meanwhile from holding the run up; neither file is cut on opening.
constexpr int kFileFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

int openFile(const char* name, int flags, mode_t mode) {
  return retryInterrupted([&] { return open(name, flags | kFileFlags, mode); });
}

void Descriptor::reset(int descriptor) {
  (void)close();
  descriptor_ = descriptor;
}

bool Descriptor::close() {
  if (descriptor_ < 0) {
    return true;
  }
  const int descriptor = descriptor_;
  descriptor_ = -1;
  // Linux releases the descriptor even when interrupted, so that is no failure.
  return ::close(descriptor) == 0 || errno == EINTR;
}

NameShows lookAtName(const char* name, const FileIdentity& identity) {
  struct stat status {};
  if (lstat(name, &status) != 0) {
    return errno == ENOENT ? NameShows::kOther : NameShows::kUnknown;
  }
  return identityOf(status) == identity ? NameShows::kThatFile : NameShows::kOther;
}

bool writeAll(int descriptor, const uint8_t* data, size_t size, int& error, size_t& changed) {
  changed = 0;
  while (changed < size) {
    const ssize_t done =
        retryInterrupted([&] { return write(descriptor, data + changed, size - changed); });
    if (done <= 0) {
      error = done < 0 ? errno : 0;
      return false;
    }
    changed += static_cast<size_t>(done);
  }
  return true;
}

FileStart compareStart(int descriptor, const uint8_t* data, size_t size) {
  // One buffer for the run, as large as the largest chunk met so far.
  static std::vector<uint8_t> held;
  held.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = retryInterrupted([&] {
      return pread(descriptor, held.data() + done, size - done, static_cast<off_t>(done));
    });
    if (got < 0) {
      return FileStart::kUnreadable;
    }
    if (got == 0) {
      return FileStart::kDiffers;
    }
    done += static_cast<size_t>(got);
  }
  return std::memcmp(held.data(), data, size) == 0 ? FileStart::kSame : FileStart::kDiffers;
}

void noteLeftover(FileWriteResult& result, const std::string& name, int error) {
  if (result.leftover.empty()) {
    result.leftover = name;
    result.leftoverReason = errnoText(error);
  }
}

}  // namespace posix_files
