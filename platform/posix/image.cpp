// The image on POSIX systems: opened only when it can be positioned, told apart by the system's
// identity, measured, and read with positioned reads, which neither need nor move a file
// position. A block device is measured by the device itself, and a loop device is known by the
// file it reads too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#endif

#include <cerrno>

#include "platform/posix/posix_files.h"

namespace {

bool identifyDescriptor(int descriptor, FileIdentity& identity) {
  struct stat status {};
  return posix_files::inspectDescriptor(descriptor, status, identity);
}

bool isBlockDevice(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISBLK(status.st_mode);
}

// A block device shows a size of 0 to fstat; the device itself tells how many bytes it holds.
bool measureDescriptor(int descriptor, uint64_t& size) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return false;
  }
  if (S_ISBLK(status.st_mode)) {
#if defined(__linux__) && defined(BLKGETSIZE64)
    return ioctl(descriptor, BLKGETSIZE64, &size) == 0;
#else
    return false;
#endif
  }
  if (status.st_size < 0) {
    return false;
  }
  size = static_cast<uint64_t>(status.st_size);
  return true;
}

// A block device may refuse a read that starts at or beyond its end with EINVAL, where a regular
// file holding the same bytes gives no more. Before its end, and on anything else, EINVAL is a
// failure like any other.
bool isEndOfDevice(int descriptor, int64_t position) {
  uint64_t size = 0;
  return isBlockDevice(descriptor) && measureDescriptor(descriptor, size) &&
         static_cast<uint64_t>(position) >= size;
}

}  // namespace

std::FILE* openImageStream(const char* path) {
  // Opening a FIFO would wait for a writer; O_NONBLOCK returns at once, and the type decides.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    return nullptr;
  }
  struct stat status {};
  const int flags = fcntl(descriptor, F_GETFL);
  if (fstat(descriptor, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) ||
      flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    (void)close(descriptor);
    return nullptr;
  }
  std::FILE* stream = fdopen(descriptor, "rb");
  if (stream == nullptr) {
    (void)close(descriptor);
  }
  return stream;
}

bool identifyStream(std::FILE* stream, FileIdentity& identity) {
  return stream != nullptr && identifyDescriptor(fileno(stream), identity);
}

bool identifyStandardStream(int descriptor, FileIdentity& identity) {
  return identifyDescriptor(descriptor, identity);
}

bool identifyBackingFile(std::FILE* stream, FileIdentity& identity) {
#if defined(__linux__) && defined(LOOP_GET_STATUS64)
  struct loop_info64 info {};
  if (stream == nullptr || !isBlockDevice(fileno(stream)) ||
      ioctl(fileno(stream), LOOP_GET_STATUS64, &info) != 0) {
    return false;
  }
  // The device number is given as the stat calls give it.
  identity = FileIdentity{};
  identity.volume = info.lo_device;
  identity.file = info.lo_inode;
  return true;
#else
  (void)stream;
  (void)identity;
  return false;
#endif
}

bool measureStream(std::FILE* stream, uint64_t& size) {
  return stream != nullptr && measureDescriptor(fileno(stream), size);
}

size_t readImageAt(std::FILE* stream, int64_t offset, uint8_t* dest, size_t size, int& error) {
  const int descriptor = fileno(stream);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = posix_files::retryInterrupted([&] {
      return pread(descriptor, dest + done, size - done,
                   static_cast<off_t>(offset + static_cast<int64_t>(done)));
    });
    if (got == 0) {
      break;
    }
    if (got < 0) {
      const int failure = errno;
      if (!(failure == EINVAL && isEndOfDevice(descriptor, offset + static_cast<int64_t>(done)))) {
        error = failure;
      }
      break;
    }
    done += static_cast<size_t>(got);
  }
  return done;
}
