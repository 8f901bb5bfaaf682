// The system layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "tool/error_text.h"
#include "tool/platform.h"

namespace {

// New chunk files get the mode the user's umask allows, as with any file a program creates.
constexpr mode_t kNewFileMode = 0666;

// The signals whose default action ends the process and that careful tools clean up for.
constexpr int kEndingSignals[] = {
    SIGHUP,  SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
};

// While a chunk file is open, an ending signal is only noted here, and it ends the run as soon
// as the file is complete or known to be left as it was. Plain flags instead of blocking the
// signals around every file: a run of 780 files then makes no system call for them.
volatile sig_atomic_t chunkFileOpen = 0;
volatile sig_atomic_t deferredSignal = 0;

// Ends the process by signalNumber, as the shell expects: with the default action back, the
// signal is delivered as soon as it is no longer blocked.
void endBySignal(int signalNumber) {
  (void)signal(signalNumber, SIG_DFL);
  (void)raise(signalNumber);
}

extern "C" void onEndingSignal(int signalNumber) {
  if (chunkFileOpen != 0) {
    deferredSignal = signalNumber;
    return;
  }
  endBySignal(signalNumber);
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
  return errnoText(error);
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

// How chunk files are opened. O_NOFOLLOW keeps a symbolic link from leading the write
// elsewhere, O_NONBLOCK keeps a FIFO from holding the run up. No O_TRUNC: an existing file stays
// as it was until it has been checked.
constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool namesFile(const char* fileName, const FileIdentity& identity) {
  struct stat status {};
  return lstat(fileName, &status) == 0 && identityOf(status) == identity;
}

// Takes back a file whose write failed. It is emptied through descriptor, or, when that is
// already closed (-1), through its name if that still names it, so that no other link keeps
// partial bytes either; then the name is removed, unless another file has taken it meanwhile.
// existing is the identity of a file that stood there before the run; a file the run created
// had no other name. Returns what the report adds about the name: nothing when it is gone.
std::string discardFile(const char* fileName, int descriptor,
                        const std::optional<FileIdentity>& existing) {
  if (descriptor < 0 && existing) {
    descriptor = open(fileName, kWriteFlags);
    struct stat status {};
    if (descriptor >= 0 &&
        (fstat(descriptor, &status) != 0 || !(identityOf(status) == *existing))) {
      (void)close(descriptor);
      descriptor = -1;
    }
  }
  const bool emptied = descriptor >= 0 && ftruncate(descriptor, 0) == 0;
  if (descriptor >= 0) {
    (void)close(descriptor);
  }
  if ((existing && !namesFile(fileName, *existing)) || unlink(fileName) == 0) {
    return "";
  }
  return emptied ? "; left empty" : "; left incomplete";
}

// Checks a file that stood under a chunk's name before the run, on the descriptor actually
// opened, and cuts it to at most size bytes; nothing in it changes unless it passes. The write
// that follows covers the rest, so a file of the chunk's size, as a re-run finds it, is simply
// overwritten. On failure, reason says why.
bool checkExistingFile(int descriptor, size_t size, RewriteCheck mayRewrite, FileIdentity& identity,
                       std::string& reason) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    reason = errnoText(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = describeNonRegularFile(status.st_mode);
    return false;
  }
  identity = identityOf(status);
  if (!mayRewrite(identity, static_cast<uint64_t>(status.st_size), reason)) {
    return false;
  }
  if (static_cast<uint64_t>(status.st_size) > size &&
      ftruncate(descriptor, static_cast<off_t>(size)) != 0) {
    reason = errnoText(errno);
    return false;
  }
  return true;
}

// Opens, checks and writes fileName; ending signals wait meanwhile.
bool writeOpenedFile(const char* fileName, const uint8_t* data, size_t size,
                     RewriteCheck mayRewrite, std::optional<FileIdentity>& existing,
                     std::string& reason) {
  // Rewriting earlier output is the common case, so the name is first opened as an existing
  // file. A new one is created exclusively, which tells the run that it is empty and can be no
  // other file: no other name of it existed before.
  int descriptor = open(fileName, kWriteFlags);
  const bool absent = descriptor < 0 && errno == ENOENT;
  if (absent) {
    descriptor = open(fileName, kWriteFlags | O_CREAT | O_EXCL, kNewFileMode);
  }
  if (descriptor < 0) {
    reason = openFailureText(fileName, errno);
    return false;
  }
  if (!absent) {
    FileIdentity identity;
    if (!checkExistingFile(descriptor, size, mayRewrite, identity, reason)) {
      (void)close(descriptor);
      return false;
    }
    existing = identity;
  }
  int error = 0;
  if (!writeAll(descriptor, data, size, error)) {
    reason = errnoText(error) + discardFile(fileName, descriptor, existing);
    return false;
  }
  // Some file systems report a failed write only when the file is closed.
  if (close(descriptor) != 0) {
    reason = errnoText(errno) + discardFile(fileName, -1, existing);
    return false;
  }
  return true;
}

}  // namespace

std::FILE* openImageStream(const char* path) {
  // Opening a FIFO would wait for a writer; O_NONBLOCK returns at once, and the type decides.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    return nullptr;
  }
  struct stat status {};
  const int flags = fcntl(descriptor, F_GETFL);
  if (fstat(descriptor, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) ||
      flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    (void)close(descriptor);
    return nullptr;
  }
  std::FILE* stream = fdopen(descriptor, "rb");
  if (stream == nullptr) {
    (void)close(descriptor);
  }
  return stream;
}

bool identifyStream(std::FILE* stream, FileIdentity& identity) {
  struct stat status {};
  if (stream == nullptr || fstat(fileno(stream), &status) != 0) {
    return false;
  }
  identity = identityOf(status);
  return true;
}

bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      RewriteCheck mayRewrite, std::optional<FileIdentity>& existing,
                      std::string& reason) {
  chunkFileOpen = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool complete = writeOpenedFile(fileName, data, size, mayRewrite, existing, reason);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  chunkFileOpen = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // A signal that comes from here on ends the run at once, in its handler.
  if (deferredSignal != 0) {
    endBySignal(deferredSignal);
  }
  return complete;
}

void prepareSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  (void)sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction defer {};
  defer.sa_handler = onEndingSignal;
  // Interrupted system calls go on; a second ending signal waits for the first one's handler.
  defer.sa_flags = SA_RESTART;
  (void)sigemptyset(&defer.sa_mask);
  for (const int signalNumber : kEndingSignals) {
    (void)sigaddset(&defer.sa_mask, signalNumber);
  }
  for (const int signalNumber : kEndingSignals) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      (void)sigaction(signalNumber, &defer, nullptr);
    }
  }
}
