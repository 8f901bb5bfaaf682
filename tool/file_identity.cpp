// The one place with system-specific calls: standard C++ has no portable way to tell whether
// two paths name the same file. Each branch uses the system's own narrow-string API, so a path
// is understood exactly as the standard library's fopen understands it.
#include "tool/file_identity.h"

#ifdef _WIN32

#include <windows.h>

IdentityLookup lookUpFileIdentity(const char* path, FileIdentity& identity) {
  // No access rights are needed to read a file's identity; the backup flag lets a directory be
  // opened too.
  const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? IdentityLookup::kMissing
                                                                          : IdentityLookup::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) {
    return IdentityLookup::kFailed;
  }
  identity.volume = information.dwVolumeSerialNumber;
  identity.file = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  return IdentityLookup::kFound;
}

#else  // POSIX

#include <sys/stat.h>

#include <cerrno>

IdentityLookup lookUpFileIdentity(const char* path, FileIdentity& identity) {
  struct stat status {};
  if (stat(path, &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? IdentityLookup::kMissing : IdentityLookup::kFailed;
  }
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  return IdentityLookup::kFound;
}

#endif
