// Reading the image on POSIX systems: positioned reads, which neither need nor move a file
// position, so no seek is ever made.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

// A block device may refuse a read that starts beyond its end with EINVAL, where a regular
// file holding the same bytes gives no more; on anything else EINVAL is a failure.
bool isBlockDevice(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISBLK(status.st_mode);
}

}  // namespace

size_t readImageAt(std::FILE* stream, int64_t offset, uint8_t* dest, size_t size, int& error) {
  const int descriptor = fileno(stream);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(descriptor, dest + done, size - done,
                              static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got == 0) {
      break;
    }
    if (got < 0) {
      // An interrupted read delivered nothing; the signal handlers ask for no restart.
      if (errno == EINTR) {
        continue;
      }
      if (!(errno == EINVAL && isBlockDevice(descriptor))) {
        error = errno;
      }
      break;
    }
    done += static_cast<size_t>(got);
  }
  return done;
}
