// The system layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tool/error_text.h"
#include "tool/platform.h"

namespace {

// New chunk files get the mode the user's umask allows, as with any file a program creates.
constexpr mode_t kNewFileMode = 0666;

// The signals whose default action ends the process and that could otherwise cut a chunk file
// short; they are held while one is open.
sigset_t heldSignals;

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

bool namesFile(const char* fileName, const FileIdentity& identity) {
  struct stat status {};
  return lstat(fileName, &status) == 0 && identityOf(status) == identity;
}

// Takes back a file whose write failed. It is emptied through descriptor, or, when that is
// already closed (-1), through its name if that still names it, so that no other link keeps
// the partial bytes either; then the name is removed, unless someone else's file has taken it.
// Returns what the report adds about the name: nothing when it is gone.
std::string discardFile(const char* fileName, int descriptor, const FileIdentity& identity) {
  if (descriptor < 0) {
    descriptor = open(fileName, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status {};
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || !(identityOf(status) == identity))) {
      (void)close(descriptor);
      descriptor = -1;
    }
  }
  const bool emptied = descriptor >= 0 && ftruncate(descriptor, 0) == 0;
  if (descriptor >= 0) {
    (void)close(descriptor);
  }
  if (!namesFile(fileName, identity) || unlink(fileName) == 0) {
    return "";
  }
  return emptied ? "; left empty" : "; left incomplete";
}

// Opens, checks and writes fileName; the caller holds the signals that would end the run.
bool writeOpenedFile(const char* fileName, const uint8_t* data, size_t size,
                     RewriteCheck mayRewrite, FileIdentity& written, std::string& reason) {
  constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // Creating exclusively tells a new file from an existing one, which is left as it was until
  // it has been checked: hence no O_TRUNC. O_NOFOLLOW keeps a symbolic link from leading the
  // write elsewhere, O_NONBLOCK keeps a FIFO from holding the run up.
  int descriptor = open(fileName, kWriteFlags | O_CREAT | O_EXCL, kNewFileMode);
  const bool created = descriptor >= 0;
  if (!created && errno == EEXIST) {
    descriptor = open(fileName, kWriteFlags);
  }
  if (descriptor < 0) {
    reason = openFailureText(fileName, errno);
    return false;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    reason = errnoText(errno);
    (void)close(descriptor);
    if (created) {
      (void)unlink(fileName);
    }
    return false;
  }
  written = identityOf(status);
  // A file the run has just created holds nothing and can be nothing else; an existing one is
  // checked on the file actually opened, before a byte of it changes.
  if (!created) {
    bool refused = true;
    if (!S_ISREG(status.st_mode)) {
      reason = describeNonRegularFile(status.st_mode);
    } else if (mayRewrite(written, static_cast<uint64_t>(status.st_size), reason)) {
      refused = status.st_size > 0 && ftruncate(descriptor, 0) != 0;
      if (refused) {
        reason = errnoText(errno);
      }
    }
    if (refused) {
      (void)close(descriptor);
      return false;
    }
  }

  int error = 0;
  if (!writeAll(descriptor, data, size, error)) {
    reason = errnoText(error) + discardFile(fileName, descriptor, written);
    return false;
  }
  // Some file systems report a failed write only when the file is closed.
  if (close(descriptor) != 0) {
    reason = errnoText(errno) + discardFile(fileName, -1, written);
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
                      RewriteCheck mayRewrite, FileIdentity& written, std::string& reason) {
  // A signal that arrives meanwhile stays pending and ends the run by its default action as soon
  // as the file is complete or known to be left as it was.
  sigset_t previous;
  (void)sigprocmask(SIG_BLOCK, &heldSignals, &previous);
  const bool complete = writeOpenedFile(fileName, data, size, mayRewrite, written, reason);
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  return complete;
}

void prepareSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  (void)sigaction(SIGXFSZ, &ignore, nullptr);

  (void)sigemptyset(&heldSignals);
  for (const int signalNumber : {
         SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
             SIGPOLL,
#endif
#if defined(SIGIO) && (!defined(SIGPOLL) || SIGIO != SIGPOLL)
             SIGIO,
#endif
       }) {
    (void)sigaddset(&heldSignals, signalNumber);
  }
}
