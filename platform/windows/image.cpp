// The image on Windows: opened only when it is a disk file, told apart by the system's identity,
// measured and read at an offset. A disk or volume opened by its device path is measured by the
// device itself.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/windows/handles.h"

using win::identifyHandle;

namespace {

// A disk or a volume shows no file size; the device tells its length. Asked first, as a file
// refuses the question at once.
bool measureHandle(HANDLE handle, uint64_t& size) {
  GET_LENGTH_INFORMATION information{};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &information,
                      sizeof information, &returned, nullptr) != 0) {
    size = static_cast<uint64_t>(information.Length.QuadPart);
    return true;
  }
  LARGE_INTEGER length{};
  if (GetFileSizeEx(handle, &length) == 0) {
    return false;
  }
  size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

}  // namespace

std::FILE* openImageStream(const char* path) {
  // Shared for reading and writing, as the C library opens files, so that a chunk name that is
  // the image can still be opened, checked and refused. A directory does not open.
  const HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  // Pipes and consoles cannot be positioned; files, disks and volumes can.
  const int descriptor =
      GetFileType(handle) == FILE_TYPE_DISK
          ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY)
          : -1;
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) {
    (void)_close(descriptor);
  }
  return stream;
}

bool identifyStandardStream(int descriptor, FileIdentity& identity) {
  const intptr_t handle = _get_osfhandle(descriptor);
  return handle != -1 && identifyHandle(reinterpret_cast<HANDLE>(handle), identity);
}

bool identifyStream(std::FILE* stream, FileIdentity& identity) {
  return stream != nullptr && identifyStandardStream(_fileno(stream), identity);
}

// Windows has no device that shows a file's bytes the way a loop device does: a mounted virtual
// disk is a volume of its own.
bool identifyBackingFile(std::FILE* /*stream*/, FileIdentity& /*identity*/) {
  return false;
}

bool measureStream(std::FILE* stream, uint64_t& size) {
  const intptr_t handle = stream != nullptr ? _get_osfhandle(_fileno(stream)) : -1;
  return handle != -1 && measureHandle(reinterpret_cast<HANDLE>(handle), size);
}

size_t readImageAt(std::FILE* stream, int64_t offset, uint8_t* dest, size_t size, int& error) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  size_t done = 0;
  while (handle != -1 && done < size) {
    OVERLAPPED at{};
    const auto position = static_cast<uint64_t>(offset) + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    const auto part = static_cast<DWORD>(size - done < UINT_MAX ? size - done : UINT_MAX);
    if (ReadFile(reinterpret_cast<HANDLE>(handle), dest + done, part, &got, &at) == 0) {
      // Reading from the end of the file or device on is no failure; a device may refuse it
      // otherwise than a file does.
      const DWORD failure = GetLastError();
      uint64_t length = 0;
      if (failure != ERROR_HANDLE_EOF &&
          !(measureHandle(reinterpret_cast<HANDLE>(handle), length) && position >= length)) {
        error = EIO;
      }
      break;
    }
    if (got == 0) {
      break;
    }
    done += got;
  }
  return done;
}
