// The system layer on Windows. Paths go through the narrow-string API, which the application
// manifest makes UTF-8, so a path is understood exactly as on the command line.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Held while signals are held, so that Ctrl-C can end the run only between two chunk files.
struct WriteLock {
  WriteLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};

WriteLock writeLock;
std::atomic<bool> interrupted{false};

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

bool writeAll(HANDLE handle, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const auto part = static_cast<DWORD>(size - done < UINT_MAX ? size - done : UINT_MAX);
    DWORD wrote = 0;
    if (WriteFile(handle, data + done, part, &wrote, nullptr) == 0 || wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return true;
}

// Whether the open file, read from its start, holds exactly size bytes equal to data.
bool holdsBytes(HANDLE handle, const uint8_t* data, size_t size) {
  static std::vector<uint8_t> held;
  held.resize(size);
  size_t done = 0;
  while (done < size) {
    const auto part = static_cast<DWORD>(size - done < UINT_MAX ? size - done : UINT_MAX);
    DWORD got = 0;
    if (ReadFile(handle, held.data() + done, part, &got, nullptr) == 0 || got == 0) {
      return false;
    }
    done += got;
  }
  return std::memcmp(held.data(), data, size) == 0;
}

bool moveToStart(HANDLE handle) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) != 0;
}

// A name of the run's own in the current folder: a dot, then the chunk's name and whose it is,
// so that one left by a killed run is hidden and tells where it comes from.
std::string temporaryNameFor(const char* fileName) {
  static const std::string owner = ".vornix-" + std::to_string(GetCurrentProcessId());
  return "." + std::string(fileName) + owner;
}

std::wstring widen(const std::string& name) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
  (void)MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), length);
  return wide;
}

// Writes a new file under a temporary name and gives it fileName only when it is complete, and
// only while no file has that name.
bool writeNewFile(const char* fileName, const uint8_t* data, size_t size, FileIdentity& written,
                  std::string& reason) {
  const std::string temporary = temporaryNameFor(fileName);
  const HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    reason = systemErrorText(GetLastError());
    return false;
  }
  const bool complete = identifyHandle(handle, written) && writeAll(handle, data, size);
  DWORD error = complete ? ERROR_SUCCESS : GetLastError();
  // Some file systems report a failed write only when the file is closed.
  if (CloseHandle(handle) == 0 && complete) {
    error = GetLastError();
  }
  if (error == ERROR_SUCCESS &&
      MoveFileExW(widen(temporary).c_str(), widen(fileName).c_str(), 0) != 0) {
    return true;
  }
  if (error == ERROR_SUCCESS) {
    error = GetLastError();
  }
  reason = systemErrorText(error);
  (void)DeleteFileA(temporary.c_str());
  return false;
}

// Takes back an existing file whose write failed: emptied through its handle, so that no other
// link keeps the partial bytes, then closed and removed. Returns what the report adds.
std::string discardFile(const char* fileName, HANDLE handle) {
  const bool emptied = moveToStart(handle) && SetEndOfFile(handle) != 0;
  CloseHandle(handle);
  if (DeleteFileA(fileName) != 0) {
    return "";
  }
  return emptied ? "; left empty" : "; left incomplete";
}

// Checks an existing file and writes it in place: written over when it already holds the bytes,
// emptied first otherwise.
bool writeExistingFile(HANDLE handle, bool readable, const char* fileName, const uint8_t* data,
                       size_t size, ExistingFileCheck mayWrite, FileIdentity& written,
                       std::string& reason) {
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
    written = identityOf(information);
    refused = !mayWrite(written, existingSize, reason);
    const bool identical =
        !refused && readable && existingSize == size && holdsBytes(handle, data, size);
    // Nothing has been written yet if this fails, and the file stays as it was.
    if (!refused && (!moveToStart(handle) || (!identical && SetEndOfFile(handle) == 0))) {
      reason = systemErrorText(GetLastError());
      refused = true;
    }
  }
  if (refused) {
    CloseHandle(handle);
    return false;
  }
  if (!writeAll(handle, data, size)) {
    reason = systemErrorText(GetLastError());
    reason += discardFile(fileName, handle);
    return false;
  }
  if (CloseHandle(handle) == 0) {
    reason = systemErrorText(GetLastError());
    reason += DeleteFileA(fileName) != 0 ? "" : "; left incomplete";
    return false;
  }
  return true;
}

// Runs on a thread of its own: taking the write lock waits until the chunk files being written
// are complete and their names out, and keeps the next one from starting; the process then ends
// with the status the system gives an interrupted program.
BOOL WINAPI onConsoleInterrupt(DWORD /*event*/) {
  interrupted = true;
  EnterCriticalSection(&writeLock.section);
  (void)std::fflush(stdout);
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

bool identifyStandardStream(int descriptor, FileIdentity& identity) {
  const intptr_t handle = _get_osfhandle(descriptor);
  return handle != -1 && identifyHandle(reinterpret_cast<HANDLE>(handle), identity);
}

bool identifyStream(std::FILE* stream, FileIdentity& identity) {
  return stream != nullptr && identifyStandardStream(_fileno(stream), identity);
}

bool writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                    ExistingFileCheck mayWrite, FileIdentity& written, std::string& reason) {
  // Sharing delete keeps the file removable while it is open; a reparse point (a symbolic link
  // or junction) is opened itself instead of being followed. Read access serves only to
  // compare: a file that may be written but not read is written all the same.
  const auto openExisting = [fileName](DWORD access) {
    return CreateFileA(fileName, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
  };
  bool readable = true;
  HANDLE handle = openExisting(GENERIC_READ | GENERIC_WRITE);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    readable = false;
    handle = openExisting(GENERIC_WRITE);
  }
  if (handle != INVALID_HANDLE_VALUE) {
    return writeExistingFile(handle, readable, fileName, data, size, mayWrite, written, reason);
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) {
    return writeNewFile(fileName, data, size, written, reason);
  }
  const DWORD attributes = GetFileAttributesA(fileName);
  reason = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? "it is a directory"
               : systemErrorText(error);
  return false;
}

void prepareProcess() {
  // Windows has neither broken-pipe nor file-size signals: such writes simply fail. When Ctrl-C
  // is ignored, the system does not call the handler either.
  (void)SetConsoleCtrlHandler(onConsoleInterrupt, TRUE);
}

void holdEndingSignals() {
  EnterCriticalSection(&writeLock.section);
}

void endRunIfSignalled() {
  if (interrupted) {
    (void)std::fflush(stdout);
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

void releaseEndingSignals() {
  // A waiting Ctrl-C handler takes the lock now and ends the run.
  LeaveCriticalSection(&writeLock.section);
}
