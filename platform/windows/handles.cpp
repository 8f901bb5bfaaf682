// Handles on Windows: the identity of the file one reaches, and writing, comparing and removing
// its bytes.
#include "platform/windows/handles.h"

#include <climits>
#include <cstring>
#include <vector>

namespace win {

std::string systemErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message.empty() ? "write error" : message;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  FileIdentity identity;
  identity.volume = information.dwVolumeSerialNumber;
  identity.file = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  return identity;
}

bool identifyHandle(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
      GetFileInformationByHandle(handle, &information) == 0) {
    return false;
  }
  identity = identityOf(information);
  return true;
}

// Writes all of data at the file's position; changed counts the bytes the file took.
bool writeAll(HANDLE handle, const uint8_t* data, size_t size, size_t& changed) {
  changed = 0;
  while (changed < size) {
    const auto part = static_cast<DWORD>(size - changed < UINT_MAX ? size - changed : UINT_MAX);
    DWORD wrote = 0;
    if (WriteFile(handle, data + changed, part, &wrote, nullptr) == 0 || wrote == 0) {
      return false;
    }
    changed += wrote;
  }
  return true;
}

// Whether the open file, read from its position, begins with the size bytes of data;
// unreadable, when given, tells a file that could not be read from one that differs.
bool startsWith(HANDLE handle, const uint8_t* data, size_t size, bool* unreadable) {
  static std::vector<uint8_t> held;
  held.resize(size);
  size_t done = 0;
  while (done < size) {
    const auto part = static_cast<DWORD>(size - done < UINT_MAX ? size - done : UINT_MAX);
    DWORD got = 0;
    const BOOL read = ReadFile(handle, held.data() + done, part, &got, nullptr);
    if (read == 0 || got == 0) {
      if (unreadable != nullptr) {
        *unreadable = read == 0;
      }
      return false;
    }
    done += got;
  }
  return std::memcmp(held.data(), data, size) == 0;
}

bool moveTo(HANDLE handle, int64_t position) {
  LARGE_INTEGER target{};
  target.QuadPart = position;
  return SetFilePointerEx(handle, target, nullptr, FILE_BEGIN) != 0;
}

// Whether an open file may be the image being read however it was reached (a network share of
// its folder gives it another identity): the image's size and its first disk header, or a file
// of that size that cannot be read to tell.
bool mayBeTheImage(HANDLE handle, uint64_t size, bool readable, const ExistingFileRules& rules) {
  if (rules.imageHead == nullptr || size != rules.imageSize) {
    return false;
  }
  if (!readable || !moveTo(handle, 0)) {
    return true;
  }
  bool unreadable = false;
  const bool same = startsWith(handle, rules.imageHead, rules.imageHeadSize, &unreadable);
  return same || unreadable;
}

// Marks the open file for removal when its last handle closes: the file the run holds, whatever
// name shows it by then.
bool removeWhenClosed(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

std::wstring widen(const std::string& name) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
  (void)MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), length);
  return wide;
}

// Writes data to a new file under a free temporary name and closes it; the file can be removed

}  // namespace win
