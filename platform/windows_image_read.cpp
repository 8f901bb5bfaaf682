// Reading the image on Windows: reads at an offset given with each call, so the handle's own
// position is never moved.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

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
      // Reading from the end of the file on is no failure.
      if (GetLastError() != ERROR_HANDLE_EOF) {
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
