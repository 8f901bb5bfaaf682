// The one place with system-specific calls: standard C++ can neither tell whether two paths name
// the same file, nor open a file for writing without first emptying it, nor say what kind of
// file it opened. Each branch uses the system's own narrow-string API, so a path is understood
// exactly as the standard library's fopen understands it.
#include "tool/file_identity.h"

#include <cstring>

namespace {

constexpr const char* kIsProtectedFile = "it is the image being read";
constexpr const char* kMayBeProtectedFile = "cannot tell whether it is the image being read";

// Whether an opened file must not be written. A file of size 0 cannot be the image, which holds
// at least one disk header whenever there are chunks to write.
bool isProtected(const FileIdentity& opened, uint64_t size, const ProtectedFile& protectedFile,
                 std::string& reason) {
  if (protectedFile.known ? opened == protectedFile.identity : size > 0) {
    reason = protectedFile.known ? kIsProtectedFile : kMayBeProtectedFile;
    return true;
  }
  return false;
}

}  // namespace

#ifdef _WIN32

#include <windows.h>

#include <climits>

namespace {

// Held while an output file is open, so that Ctrl-C can end the run only between two files.
struct WriteLock {
  WriteLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};

WriteLock& writeLock() {
  static WriteLock lock;
  return lock;
}

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

// Opens and checks fileName, then empties and writes it; the caller holds the write lock.
bool writeOpenedFile(const char* fileName, const uint8_t* data, size_t size,
                     const ProtectedFile& protectedFile, std::string& reason) {
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
    refused = isProtected(identityOf(information), existingSize, protectedFile, reason);
    // The file pointer stands at 0, so this empties the file; nothing has been written yet if
    // it fails, and the file stays as it was.
    if (!refused && existingSize > 0 && SetEndOfFile(handle) == 0) {
      reason = systemErrorText(GetLastError());
      refused = true;
    }
  }
  if (refused) {
    CloseHandle(handle);
    return false;
  }

  bool complete = true;
  size_t written = 0;
  while (complete && written < size) {
    const auto chunk = static_cast<DWORD>(size - written < UINT_MAX ? size - written : UINT_MAX);
    DWORD done = 0;
    complete = WriteFile(handle, data + written, chunk, &done, nullptr) != 0 && done > 0;
    written += done;
  }
  if (!complete) {
    reason = systemErrorText(GetLastError());
  }
  if (CloseHandle(handle) == 0 && complete) {
    reason = systemErrorText(GetLastError());
    complete = false;
  }
  if (!complete) {
    (void)DeleteFileA(fileName);
  }
  return complete;
}

// Runs on a thread of its own: taking the write lock waits until the file being written is
// complete and keeps the next one from starting; the process then ends with the status the
// system gives an interrupted program.
BOOL WINAPI onConsoleInterrupt(DWORD /*event*/) {
  EnterCriticalSection(&writeLock().section);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

bool lookUpFileIdentity(const char* path, FileIdentity& identity) {
  // No access rights are needed to read a file's identity; the backup flag lets a directory be
  // opened too.
  const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (known) {
    identity = identityOf(information);
  }
  return known;
}

bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      const ProtectedFile& protectedFile, std::string& reason) {
  EnterCriticalSection(&writeLock().section);
  const bool written = writeOpenedFile(fileName, data, size, protectedFile, reason);
  LeaveCriticalSection(&writeLock().section);
  return written;
}

void prepareSignals() {
  // Windows has neither broken-pipe nor file-size signals: such writes simply fail. When Ctrl-C
  // is ignored, the system does not call the handler either.
  (void)writeLock();
  (void)SetConsoleCtrlHandler(onConsoleInterrupt, TRUE);
}

#else  // POSIX

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "tool/error_text.h"

namespace {

// What the interrupt handler may remove: nothing; the name's file while it is being opened and
// checked, but only if it is still empty; or the name's file, which is being written.
enum PendingState : int { kIdle, kOpening, kWriting };

// Longer than any chunk name.
constexpr size_t kPendingNameCapacity = 64;
char pendingName[kPendingNameCapacity];
volatile sig_atomic_t pendingState = kIdle;

void setPendingState(PendingState state) {
  // The name must be in place before the handler can see a state that makes it use it.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pendingState = state;
}

extern "C" void removePendingFileAndStop(int signalNumber) {
  if (pendingState == kWriting) {
    (void)unlink(pendingName);
  } else if (pendingState == kOpening) {
    // An empty regular file here was either just created or was about to be emptied.
    struct stat status {};
    if (lstat(pendingName, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0) {
      (void)unlink(pendingName);
    }
  }
  // The signal stays blocked until this handler returns; with the default action back, the
  // process then ends by it, as the shell expects.
  (void)signal(signalNumber, SIG_DFL);
  (void)raise(signalNumber);
}

FileIdentity identityOf(const struct stat& status) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  return identity;
}

const char* describeNonRegularFile(mode_t mode) {
  if (S_ISLNK(mode)) {
    return "it is a symbolic link";
  }
  if (S_ISDIR(mode)) {
    return "it is a directory";
  }
  if (S_ISFIFO(mode)) {
    return "it is a FIFO";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "it is a device";
  }
  if (S_ISSOCK(mode)) {
    return "it is a socket";
  }
  return "it is not a regular file";
}

std::string openFailureText(const char* fileName, int error) {
  // The name holds no directory, so these can only be about the file that stands under it.
  if (error == ELOOP || error == EISDIR || error == ENXIO) {
    struct stat status {};
    if (lstat(fileName, &status) == 0 && !S_ISREG(status.st_mode)) {
      return describeNonRegularFile(status.st_mode);
    }
  }
  return writeErrorText(error);
}

bool writeAll(int descriptor, const uint8_t* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t done = write(descriptor, data, size);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done <= 0) {
      error = done < 0 ? errno : 0;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// Gives up on the opened file, leaving it as it was.
bool refuse(int descriptor) {
  (void)close(descriptor);
  setPendingState(kIdle);
  return false;
}

}  // namespace

bool lookUpFileIdentity(const char* path, FileIdentity& identity) {
  struct stat status {};
  if (stat(path, &status) != 0) {
    return false;
  }
  identity = identityOf(status);
  return true;
}

bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      const ProtectedFile& protectedFile, std::string& reason) {
  const size_t nameLength = std::strlen(fileName);
  if (nameLength >= kPendingNameCapacity) {
    reason = writeErrorText(ENAMETOOLONG);
    return false;
  }
  std::memcpy(pendingName, fileName, nameLength + 1);
  setPendingState(kOpening);
  // No O_TRUNC: nothing is emptied before the opened file has been checked. O_NOFOLLOW keeps a
  // symbolic link from leading the write elsewhere, O_NONBLOCK keeps a FIFO from holding the
  // run up.
  const int descriptor =
      open(fileName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    const int error = errno;
    setPendingState(kIdle);
    reason = openFailureText(fileName, error);
    return false;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    reason = writeErrorText(errno);
    return refuse(descriptor);
  }
  if (!S_ISREG(status.st_mode)) {
    reason = describeNonRegularFile(status.st_mode);
    return refuse(descriptor);
  }
  if (isProtected(identityOf(status), static_cast<uint64_t>(status.st_size), protectedFile,
                  reason)) {
    return refuse(descriptor);
  }
  setPendingState(kWriting);
  // A file that cannot be emptied has not been changed, so it stays.
  if (status.st_size > 0 && ftruncate(descriptor, 0) != 0) {
    reason = writeErrorText(errno);
    return refuse(descriptor);
  }

  int error = 0;
  bool complete = writeAll(descriptor, data, size, error);
  if (complete) {
    // Every byte is with the system now; an interrupt from here on leaves the whole file.
    setPendingState(kIdle);
  }
  if (close(descriptor) != 0 && complete) {
    error = errno;
    complete = false;
  }
  if (!complete) {
    (void)unlink(fileName);
    setPendingState(kIdle);
    reason = writeErrorText(error);
  }
  return complete;
}

void prepareSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  (void)sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction stop {};
  stop.sa_handler = removePendingFileAndStop;
  (void)sigemptyset(&stop.sa_mask);
  (void)sigaddset(&stop.sa_mask, SIGINT);
  (void)sigaddset(&stop.sa_mask, SIGTERM);
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      (void)sigaction(signalNumber, &stop, nullptr);
    }
  }
}

#endif
