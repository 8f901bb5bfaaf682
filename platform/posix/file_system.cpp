// What the file system of the run's folder shows of its files: whether it is a network one,
// whose server may keep more than it shows, and the inode flags a file carries.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/posix_files.h"

namespace posix_files {
namespace {

#ifdef __linux__
// File systems whose files live on a server: NFS, SMB and CIFS, 9P, Ceph, AFS, Coda.
constexpr unsigned long kNetworkFileSystems[] = {
    NFS_SUPER_MAGIC,  SMB_SUPER_MAGIC, CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC, V9FS_MAGIC,
    CEPH_SUPER_MAGIC, AFS_SUPER_MAGIC, AFS_FS_MAGIC,     CODA_SUPER_MAGIC,
};

// FUSE file systems that reach a server, by the type their mount shows.
constexpr const char* kNetworkFuseTypes[] = {
    "fuse.sshfs",     "fuse.rclone",   "fuse.s3fs",      "fuse.gcsfuse",
    "fuse.curlftpfs", "fuse.smbnetfs", "fuse.glusterfs", "fuse.davfs2",
};

// The type of the mount whose device is device, from the system's table of mounts: the third
// field of a line is its device, the field after " - " its type.
std::string mountTypeOf(dev_t device) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string mountId;
    std::string parentId;
    std::string deviceField;
    if (!(fields >> mountId >> parentId >> deviceField) || deviceField != wanted) {
      continue;
    }
    const size_t separator = line.find(" - ");
    if (separator != std::string::npos) {
      std::istringstream rest(line.substr(separator + 3));
      std::string type;
      rest >> type;
      return type;
    }
  }
  return "";
}

bool onNetworkFileSystem() {
  struct statfs fileSystem {};
  if (statfs(".", &fileSystem) != 0) {
    return false;
  }
  const auto type = static_cast<unsigned long>(fileSystem.f_type);
  for (const unsigned long network : kNetworkFileSystems) {
    if (type == network) {
      return true;
    }
  }
  struct stat folder {};
  if (type != FUSE_SUPER_MAGIC || stat(".", &folder) != 0) {
    return false;
  }
  const std::string mountType = mountTypeOf(folder.st_dev);
  for (const char* network : kNetworkFuseTypes) {
    if (mountType == network) {
      return true;
    }
  }
  return false;
}
#endif

}  // namespace

bool folderOnNetwork() {
#ifdef __linux__
  // Every chunk file goes to the same folder, so it is learnt once for the run.
  static const bool onNetwork = onNetworkFileSystem();
  return onNetwork;
#else
  return false;
#endif
}

bool keepsInodeFlags(int oldDescriptor, int newDescriptor) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  int oldFlags = 0;
  int newFlags = 0;
  // A file system without inode flags has none to lose.
  if (ioctl(oldDescriptor, FS_IOC_GETFLAGS, &oldFlags) != 0 || oldFlags == 0) {
    return true;
  }
  return ioctl(newDescriptor, FS_IOC_GETFLAGS, &newFlags) == 0 && (oldFlags & ~newFlags) == 0;
#else
  (void)oldDescriptor;
  (void)newDescriptor;
  return true;
#endif
}

}  // namespace posix_files
