// The image on POSIX systems: opened only when it can be positioned, told apart by the system's
// identity, measured, and read with positioned reads, which neither need nor move a file
// position.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix_files.h"

namespace {

bool identifyDescriptor(int descriptor, FileIdentity& identity) {
  struct stat status {};
  return posix_files::inspectDescriptor(descriptor, status, identity);
}

// A block device may refuse a read that starts beyond its end with EINVAL, where a regular
// file holding the same bytes gives no more; on anything else EINVAL is a failure.
bool isBlockDevice(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISBLK(status.st_mode);
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

bool measureStream(std::FILE* stream, uint64_t& size) {
  struct stat status {};
  if (stream == nullptr || fstat(fileno(stream), &status) != 0 || status.st_size < 0) {
    return false;
  }
  size = static_cast<uint64_t>(status.st_size);
  return true;
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
      if (!(errno == EINVAL && isBlockDevice(descriptor))) {
        error = errno;
      }
      break;
    }
    done += static_cast<size_t>(got);
  }
  return done;
}
