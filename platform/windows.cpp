// The system layer on Windows. Paths go through the narrow-string API, which the application
// manifest makes UTF-8, so a path is understood exactly as on the command line.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdint>

#include "tool/platform.h"

namespace {

// Held while a chunk file is open, so that Ctrl-C can end the run only between two files.
struct WriteLock {
  WriteLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};

WriteLock writeLock;

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

// Empties an open file from its start.
bool emptyFile(HANDLE handle) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
}

// Takes back a file whose write failed: emptied through its handle, so that no other link keeps
// the partial bytes, then closed and removed. Returns what the report adds about the name.
std::string discardFile(const char* fileName, HANDLE handle) {
  const bool emptied = emptyFile(handle);
  CloseHandle(handle);
  if (DeleteFileA(fileName) != 0) {
    return "";
  }
  return emptied ? "; left empty" : "; left incomplete";
}

// Opens, checks and writes fileName; the caller holds the write lock.
bool writeOpenedFile(const char* fileName, const uint8_t* data, size_t size,
                     RewriteCheck mayRewrite, std::optional<FileIdentity>& existing,
                     std::string& reason) {
  // Sharing delete keeps the file removable while it is open; a reparse point (a symbolic link
  // or junction) is opened itself instead of being followed.
  const HANDLE handle =
      CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(fileName);
    reason = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                 ? "it is a directory"
                 : systemErrorText(error);
    return false;
  }
  // OPEN_ALWAYS says whether the file existed; one the run has just created is new and empty.
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION information;
  bool refused = true;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    reason = "it is a device";
  } else if (GetFileInformationByHandle(handle, &information) == 0) {
    reason = systemErrorText(GetLastError());
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    reason = "it is a symbolic link";
  } else {
    const uint64_t existingSize =
        (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    if (!created) {
      existing = identityOf(information);
    }
    refused = !created && !mayRewrite(*existing, existingSize, reason);
    // The file pointer stands at 0, so this empties the file; nothing has been written yet if
    // it fails, and the file stays as it was.
    if (!refused && existingSize > 0 && SetEndOfFile(handle) == 0) {
      reason = systemErrorText(GetLastError());
      refused = true;
    }
  }
  if (refused) {
    CloseHandle(handle);
    if (created) {
      (void)DeleteFileA(fileName);
    }
    return false;
  }

  size_t done = 0;
  while (done < size) {
    const auto part = static_cast<DWORD>(size - done < UINT_MAX ? size - done : UINT_MAX);
    DWORD wrote = 0;
    if (WriteFile(handle, data + done, part, &wrote, nullptr) == 0 || wrote == 0) {
      reason = systemErrorText(GetLastError()) + discardFile(fileName, handle);
      return false;
    }
    done += wrote;
  }
  if (CloseHandle(handle) == 0) {
    reason = systemErrorText(GetLastError());
    reason += DeleteFileA(fileName) != 0 ? "" : "; left incomplete";
    return false;
  }
  return true;
}

// Runs on a thread of its own: taking the write lock waits until the file being written is
// complete and keeps the next one from starting; the process then ends with the status the
// system gives an interrupted program.
BOOL WINAPI onConsoleInterrupt(DWORD /*event*/) {
  EnterCriticalSection(&writeLock.section);
  ExitProcess(STATUS_CONTROL_C_EXIT);
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
  // Pipes, consoles and devices cannot be positioned.
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

bool identifyStream(std::FILE* stream, FileIdentity& identity) {
  if (stream == nullptr) {
    return false;
  }
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  BY_HANDLE_FILE_INFORMATION information;
  if (handle == -1 ||
      GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &information) == 0) {
    return false;
  }
  identity = identityOf(information);
  return true;
}

bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      RewriteCheck mayRewrite, std::optional<FileIdentity>& existing,
                      std::string& reason) {
  EnterCriticalSection(&writeLock.section);
  const bool complete = writeOpenedFile(fileName, data, size, mayRewrite, existing, reason);
  LeaveCriticalSection(&writeLock.section);
  return complete;
}

void prepareSignals() {
  // Windows has neither broken-pipe nor file-size signals: such writes simply fail. When Ctrl-C
  // is ignored, the system does not call the handler either.
  (void)SetConsoleCtrlHandler(onConsoleInterrupt, TRUE);
}
