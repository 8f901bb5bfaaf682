// The system layer on Windows. Paths go through the narrow-string API, which the application
// manifest makes UTF-8, so a path is understood exactly as on the command line.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
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

// Whether the open file, read from its start, begins with the size bytes of data.
bool startsWith(HANDLE handle, const uint8_t* data, size_t size) {
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

bool moveTo(HANDLE handle, int64_t position) {
  LARGE_INTEGER target{};
  target.QuadPart = position;
  return SetFilePointerEx(handle, target, nullptr, FILE_BEGIN) != 0;
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
// through removal only while it is the run's. False with the system's error otherwise.
bool writeStandIn(const char* fileName, const uint8_t* data, size_t size, std::string& temporary,
                  FileIdentity& identity, DWORD& error) {
  Handle file;
  for (int attempt = 0; attempt < kTemporaryNameTries && !file.isOpen(); ++attempt) {
    temporary = temporaryNameFor(fileName, attempt);
    file.reset(CreateFileA(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = GetLastError();
    if (!file.isOpen() && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
        error != ERROR_ACCESS_DENIED) {
      return false;
    }
  }
  if (!file.isOpen()) {
    return false;
  }
  size_t changed = 0;
  if (!identifyHandle(file.get(), identity) || !writeAll(file.get(), data, size, changed)) {
    error = GetLastError();
    (void)removeWhenClosed(file.get());
    return false;
  }
  // Some file systems report a failed write only when the file is closed; the file is marked
  // for removal first, and kept only once it closed cleanly.
  Handle again(CreateFileA(temporary.c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.close()) {
    error = GetLastError();
    FileIdentity named;
    if (again.isOpen() && identifyHandle(again.get(), named) && named == identity) {
      (void)removeWhenClosed(again.get());
    }
    return false;
  }
  return true;
}

// Removes the run's temporary name when it still shows the run's file.
void removeTemporary(const std::string& temporary, const FileIdentity& identity,
                     FileWriteResult& result) {
  Handle file(CreateFileA(temporary.c_str(), DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FileIdentity named;
  if (!file.isOpen() || !identifyHandle(file.get(), named) || !(named == identity)) {
    return;
  }
  if (!removeWhenClosed(file.get()) && result.leftover.empty()) {
    result.leftover = temporary;
    result.leftoverReason = systemErrorText(GetLastError());
  }
}

// Writes a new file under a temporary name and gives it fileName only when it is complete:
// replacing the older file under that name when replace is set, otherwise only while no file
// has that name.
void writeNewFile(const char* fileName, const uint8_t* data, size_t size, bool replace,
                  FileWriteResult& result) {
  std::string temporary;
  FileIdentity identity;
  DWORD error = ERROR_SUCCESS;
  if (!writeStandIn(fileName, data, size, temporary, identity, error)) {
    result.reason = systemErrorText(error);
    return;
  }
  if (MoveFileExW(widen(temporary).c_str(), widen(fileName).c_str(),
                  replace ? MOVEFILE_REPLACE_EXISTING : 0) == 0) {
    result.reason = systemErrorText(GetLastError());
    removeTemporary(temporary, identity, result);
    return;
  }
  result.written = identity;
  result.complete = true;
}

// Takes back an existing file whose bytes changed before its write failed: emptied through its
// handle, so that no other link keeps the partial bytes, then removed while it is still the
// run's file.
NameLeft withdrawFile(Handle& file) {
  const bool emptied = moveTo(file.get(), 0) && SetEndOfFile(file.get()) != 0;
  const bool removed = removeWhenClosed(file.get());
  (void)file.close();
  if (removed) {
    return NameLeft::kRemoved;
  }
  return emptied ? NameLeft::kEmptied : NameLeft::kIncomplete;
}

// Writes data over the start of a file that has other links, then cuts what is left beyond.
void rewriteInPlace(Handle& file, uint64_t existingSize, const uint8_t* data, size_t size,
                    const ExistingFileRules& rules, const FileIdentity& identity,
                    FileWriteResult& result) {
  if (rules.imageHead != nullptr && existingSize == rules.imageSize && moveTo(file.get(), 0) &&
      startsWith(file.get(), rules.imageHead, rules.imageHeadSize)) {
    result.reason = "it may be the image being read";
    return;
  }
  size_t changed = 0;
  bool written = moveTo(file.get(), 0) && writeAll(file.get(), data, size, changed) &&
                 (existingSize <= size || SetEndOfFile(file.get()) != 0);
  DWORD error = written ? ERROR_SUCCESS : GetLastError();
  if (!written) {
    result.reason = systemErrorText(error);
    if (changed > 0) {
      result.left = withdrawFile(file);
    }
    return;
  }
  if (!file.close()) {
    // The handle is gone; the bytes may be incomplete and cannot be taken back through it.
    result.reason = systemErrorText(GetLastError());
    result.left = NameLeft::kIncomplete;
    return;
  }
  result.written = identity;
  result.complete = true;
}

// Checks an existing file and writes it: left as it is when it already holds the bytes,
// replaced by a complete new file when it has one link, rewritten in place otherwise.
void writeExistingFile(Handle& file, bool readable, const char* fileName, const uint8_t* data,
                       size_t size, const ExistingFileRules& rules, FileWriteResult& result) {
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.reason = "it is a device";
    return;
  }
  if (GetFileInformationByHandle(file.get(), &information) == 0) {
    result.reason = systemErrorText(GetLastError());
    return;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    result.reason = "it is a symbolic link";
    return;
  }
  const uint64_t existingSize =
      (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  const FileIdentity identity = identityOf(information);
  if (!rules.mayWrite(identity, existingSize, result.reason)) {
    return;
  }
  if (readable && existingSize == size && startsWith(file.get(), data, size)) {
    // Nothing is written, so nothing can fail half-way; the time still tells that this run
    // wrote the file, where the file system can keep it.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    (void)SetFileTime(file.get(), nullptr, nullptr, &now);
    result.written = identity;
    result.complete = true;
    return;
  }
  if (information.nNumberOfLinks == 1) {
    (void)file.close();
    writeNewFile(fileName, data, size, true, result);
    return;
  }
  rewriteInPlace(file, existingSize, data, size, rules, identity, result);
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

FileWriteResult writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                               const ExistingFileRules& rules) {
  // Sharing delete keeps the file removable while it is open; a reparse point (a symbolic link
  // or junction) is opened itself instead of being followed. Read access serves only to
  // compare: a file that may be written but not read is written all the same.
  const auto openExisting = [fileName](DWORD access) {
    const auto attempt = [fileName](DWORD wanted) {
      return CreateFileA(fileName, wanted, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
    };
    // Removal through the handle needs delete access, which a file another program holds open
    // (the image, for one) may not share; such a file can still be checked and refused.
    const HANDLE handle = attempt(access | DELETE);
    return handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION
               ? handle
               : attempt(access);
  };
  FileWriteResult result;
  bool readable = true;
  Handle file(openExisting(GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES));
  if (!file.isOpen() && GetLastError() == ERROR_ACCESS_DENIED) {
    readable = false;
    file.reset(openExisting(GENERIC_WRITE | FILE_WRITE_ATTRIBUTES));
  }
  if (file.isOpen()) {
    writeExistingFile(file, readable, fileName, data, size, rules, result);
    return result;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) {
    writeNewFile(fileName, data, size, false, result);
    return result;
  }
  const DWORD attributes = GetFileAttributesA(fileName);
  result.reason =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
          ? "it is a directory"
          : systemErrorText(error);
  return result;
}

bool measureStream(std::FILE* stream, uint64_t& size) {
  const intptr_t handle = stream != nullptr ? _get_osfhandle(_fileno(stream)) : -1;
  LARGE_INTEGER length{};
  if (handle == -1 || GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &length) == 0) {
    return false;
  }
  size = static_cast<uint64_t>(length.QuadPart);
  return true;
}


void queueStandardOutput(const char* text, size_t size) {
  (void)std::fwrite(text, 1, size, stdout);
}

bool flushStandardOutput(int& error) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    error = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
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
