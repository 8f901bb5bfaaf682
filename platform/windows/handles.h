// What the Windows sources share among themselves about handles and the files they reach;
// nothing outside platform/windows/ includes it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace win {

// The system's text for an error, without its closing full stop.
std::string systemErrorText(DWORD error);

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information);
bool identifyHandle(HANDLE handle, FileIdentity& identity);

// Owns one open handle and closes it once, wherever the write it serves ends.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { (void)close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return handle_; }
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE handle) {
    (void)close();
    handle_ = handle;
  }
  // Closes now; false when the system reports a failure that some file systems keep until then.
  bool close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
      return true;
    }
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// Writes all of data at the file's position; changed counts the bytes the file took.
bool writeAll(HANDLE handle, const uint8_t* data, size_t size, size_t& changed);

// Whether the open file, read from its position, begins with the size bytes of data;
// unreadable, when given, tells a file that could not be read from one that differs.
bool startsWith(HANDLE handle, const uint8_t* data, size_t size, bool* unreadable = nullptr);

bool moveTo(HANDLE handle, int64_t position);

// Whether an open file may be the image being read however it was reached (a network share of
// its folder gives it another identity): the image's size and its first disk header, or a file
// of that size that cannot be read to tell.
bool mayBeTheImage(HANDLE handle, uint64_t size, bool readable, const ExistingFileRules& rules);

// Marks the open file for removal when its last handle closes: the file the run holds, whatever
// name shows it by then.
bool removeWhenClosed(HANDLE handle);

std::wstring widen(const std::string& name);

}  // namespace win
