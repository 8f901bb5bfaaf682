// Telling the image being read on POSIX systems where its identity cannot: another view of the
// same folder (an overlay mount, a network or FUSE mount of it) shows another device number, but
// the same size and the same first disk header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_files.h"

namespace posix_files {

bool mayBeTheImage(int descriptor, const struct stat& status, bool readable,
                   const ExistingFileRules& rules) {
  if (rules.imageHead == nullptr || !S_ISREG(status.st_mode) ||
      static_cast<uint64_t>(status.st_size) != rules.imageSize) {
    return false;
  }
  return !readable ||
         compareStart(descriptor, rules.imageHead, rules.imageHeadSize) != FileStart::kDiffers;
}

}  // namespace posix_files

bool standardStreamMayBeImage(int descriptor, const ExistingFileRules& rules) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return false;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0 && (flags & O_ACCMODE) != O_WRONLY) {
    return posix_files::mayBeTheImage(descriptor, status, true, rules);
  }
  // A stream opened for writing only (appended to, say) is read through the system's own name
  // for the file it writes.
  const posix_files::Descriptor reopened(
      open(("/proc/self/fd/" + std::to_string(descriptor)).c_str(),
           O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  return posix_files::mayBeTheImage(reopened.get(), status, reopened.isOpen(), rules);
}
