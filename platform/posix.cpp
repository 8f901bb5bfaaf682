// The system layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// New chunk files get the mode the user's umask allows, as with any file a program creates.
constexpr mode_t kNewFileMode = 0666;

// The signal handlers do not restart interrupted calls, so that a signal can end a run blocked
// on a full pipe; the calls made for chunk files are restarted here instead.
template <typename Call>
auto retryInterrupted(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Signals

// The catchable signals whose default action ends the process and that another process sends.
// The ones the system raises for a fault of the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP, SIGSYS, SIGABRT) are left at their default: deferring one would run on into the fault.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// While signals are held, an ending signal is only noted here, and the run ends by it at the
// next point where every chunk file is complete or known to be left as it was. Plain flags
// instead of blocking the signals around every file: a run of 780 files makes no system call
// for them.
volatile sig_atomic_t signalsHeld = 0;
volatile sig_atomic_t pendingSignal = 0;

// Ends the process by signalNumber, as the shell expects: with the default action back, the
// signal is delivered as soon as it is no longer blocked.
void endBySignal(int signalNumber) {
  (void)signal(signalNumber, SIG_DFL);
  (void)raise(signalNumber);
}

extern "C" void onEndingSignal(int signalNumber) {
  if (signalsHeld != 0) {
    if (pendingSignal == 0) {
      pendingSignal = signalNumber;
    }
    return;
  }
  endBySignal(signalNumber);
}

void catchEndingSignal(int signalNumber, const struct sigaction& handler) {
  struct sigaction current {};
  // Fails for the few real-time signals a debugger or emulator keeps for itself.
  if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
    (void)sigaction(signalNumber, &handler, nullptr);
  }
}

// ---------------------------------------------------------------------------------------------
// Files and their identity

FileIdentity identityOf(const struct stat& status) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  return identity;
}

bool identifyDescriptor(int descriptor, FileIdentity& identity) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return false;
  }
  identity = identityOf(status);
  return true;
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

// Flags of every open of a chunk file or of a temporary one. O_NOFOLLOW keeps a symbolic link
// from leading a write elsewhere, O_NONBLOCK keeps a FIFO that took a name meanwhile from holding
// the run up; neither file is cut on opening.
constexpr int kFileFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

int openFile(const char* name, int flags, mode_t mode = 0) {
  return retryInterrupted([&] { return open(name, flags | kFileFlags, mode); });
}

// The file under name, looked up once (the names checked so are the run's own temporary ones).
bool namesFile(const char* name, const FileIdentity& identity) {
  struct stat status {};
  return lstat(name, &status) == 0 && identityOf(status) == identity;
}

// Closes descriptor; false when the system reports a failure that some file systems keep until
// then. Linux releases the descriptor even when interrupted, so that is no failure.
bool closedCleanly(int descriptor) {
  return close(descriptor) == 0 || errno == EINTR;
}

// Whether a rename with flags failed only because the system or file system lacks them.
bool renameFlagsUnsupported() {
  return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
}

bool writeAll(int descriptor, const uint8_t* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t done = retryInterrupted([&] { return write(descriptor, data, size); });
    if (done <= 0) {
      error = done < 0 ? errno : 0;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// Whether the open file holds exactly size bytes equal to data.
bool holdsBytes(int descriptor, const uint8_t* data, size_t size) {
  // One buffer for the run, as large as the largest chunk met so far.
  static std::vector<uint8_t> held;
  held.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = retryInterrupted([&] {
      return pread(descriptor, held.data() + done, size - done, static_cast<off_t>(done));
    });
    if (got <= 0) {
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return std::memcmp(held.data(), data, size) == 0;
}

// A name of the run's own in the same folder as fileName: a dot, then the chunk's name and whose
// it is, so that one left by a killed run is hidden and tells where it comes from.
std::string temporaryNameFor(const char* fileName) {
  static const std::string owner = ".vornix-" + std::to_string(getpid());
  return "." + std::string(fileName) + owner;
}

// Renames from to to only when no file is named to; false with errno set otherwise.
bool renameIfFree(const char* from, const char* to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (!renameFlagsUnsupported()) {
    return false;
  }
#endif
  // A link fails when the name is taken; the temporary name then goes.
  if (link(from, to) != 0) {
    return false;
  }
  (void)unlink(from);
  return true;
}

// Takes fileName away from a file whose write failed, so that the name holds nothing, but only
// while it still names that file: the name is first moved to a name of the run's own, and moved
// back when another process's file had taken it meanwhile. The file is emptied as well, so that
// no other link to it keeps partial bytes. Returns what the report adds: nothing when the name
// is gone or no longer the run's.
std::string withdrawFile(const char* fileName, const FileIdentity& identity) {
  const std::string taken = temporaryNameFor(fileName);
  const bool moved = rename(fileName, taken.c_str()) == 0;
  const char* holder = moved ? taken.c_str() : fileName;
  const int descriptor = openFile(holder, O_WRONLY);
  const bool ours = descriptor >= 0 && [&] {
    FileIdentity opened;
    return identifyDescriptor(descriptor, opened) && opened == identity;
  }();
  const bool emptied = ours && retryInterrupted([&] { return ftruncate(descriptor, 0); }) == 0;
  if (descriptor >= 0) {
    (void)close(descriptor);
  }
  if (!moved) {
    if (ours) {
      return emptied ? "; left empty" : "; left incomplete";
    }
    return descriptor < 0 ? "; left incomplete" : "";
  }
  if (ours) {
    (void)unlink(taken.c_str());
  } else {
    (void)renameIfFree(taken.c_str(), fileName);
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// New files, written where no chunk name shows them

// Cleared when the folder's file system cannot make unnamed files; every chunk file of a run
// goes to the same folder.
bool unnamedFilesWork = true;

// Opens a new file without a name in the current directory; -1 with errno set when it cannot.
int openUnnamedFile() {
#ifdef O_TMPFILE
  return openFile(".", O_TMPFILE | O_RDWR, kNewFileMode);
#else
  errno = EOPNOTSUPP;
  return -1;
#endif
}

struct NewFile {
  int descriptor = -1;
  // Empty while the file has no name at all.
  std::string temporaryName;
  struct stat status {};
};

// Creates an empty file for fileName in the current directory: without any name where the
// system can, otherwise under a temporary name of the run's own.
bool createNewFile(const char* fileName, NewFile& file, int& error) {
  if (unnamedFilesWork) {
    file.descriptor = openUnnamedFile();
    // Older kernels take O_TMPFILE for a plain directory open (EISDIR).
    unnamedFilesWork =
        file.descriptor >= 0 || !(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
  }
  if (!unnamedFilesWork) {
    file.temporaryName = temporaryNameFor(fileName);
    file.descriptor = openFile(file.temporaryName.c_str(), O_RDWR | O_CREAT | O_EXCL, kNewFileMode);
  }
  if (file.descriptor < 0) {
    error = errno;
    return false;
  }
  if (fstat(file.descriptor, &file.status) != 0) {
    error = errno;
    (void)close(file.descriptor);
    if (!file.temporaryName.empty()) {
      (void)unlink(file.temporaryName.c_str());
    }
    return false;
  }
  return true;
}

void discardNewFile(NewFile& file) {
  if (file.descriptor >= 0) {
    (void)close(file.descriptor);
    file.descriptor = -1;
  }
  if (!file.temporaryName.empty()) {
    (void)unlink(file.temporaryName.c_str());
  }
}

// Gives an unnamed file the name name; an existing name is never replaced.
bool linkUnnamedFile(const NewFile& file, const char* name) {
  // Linking a descriptor directly (AT_EMPTY_PATH) takes a capability that ordinary users lack;
  // its entry under /proc works for every user.
  const std::string path = "/proc/self/fd/" + std::to_string(file.descriptor);
  if (linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
#ifdef AT_EMPTY_PATH
  if (errno == ENOENT) {
    return linkat(file.descriptor, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0;
  }
#endif
  return false;
}

// Closes the complete file, reporting the failure some file systems keep until then, and gives
// it a temporary name if it has none.
bool closeNamed(NewFile& file, const char* fileName, int& error) {
  if (file.temporaryName.empty()) {
    const std::string name = temporaryNameFor(fileName);
    if (!linkUnnamedFile(file, name.c_str())) {
      error = errno;
      discardNewFile(file);
      return false;
    }
    file.temporaryName = name;
  }
  const bool closed = closedCleanly(file.descriptor);
  file.descriptor = -1;
  if (!closed) {
    error = errno;
    discardNewFile(file);
    return false;
  }
  return true;
}

// Gives the complete new file the chunk's name, only if that name is still free.
bool publishNewFile(NewFile& file, const char* fileName, std::string& reason) {
  if (file.temporaryName.empty()) {
    if (!linkUnnamedFile(file, fileName)) {
      reason = errnoText(errno);
      discardNewFile(file);
      return false;
    }
    // Closed only now, as the link needs the descriptor; a late write error takes the name back.
    const bool closed = closedCleanly(file.descriptor);
    file.descriptor = -1;
    if (!closed) {
      reason = errnoText(errno);
      reason += withdrawFile(fileName, identityOf(file.status));
      return false;
    }
    return true;
  }
  int error = 0;
  if (!closeNamed(file, fileName, error)) {
    reason = errnoText(error);
    return false;
  }
  if (!renameIfFree(file.temporaryName.c_str(), fileName)) {
    reason = errnoText(errno);
    discardNewFile(file);
    return false;
  }
  return true;
}

bool writeNewFile(const char* fileName, const uint8_t* data, size_t size, FileIdentity& written,
                  std::string& reason) {
  NewFile file;
  int error = 0;
  if (!createNewFile(fileName, file, error)) {
    reason = errnoText(error);
    return false;
  }
  written = identityOf(file.status);
  if (!writeAll(file.descriptor, data, size, error)) {
    reason = errnoText(error);
    discardNewFile(file);
    return false;
  }
  return publishNewFile(file, fileName, reason);
}

// ---------------------------------------------------------------------------------------------
// Existing files

// The rule vim follows before it writes a new file in place of an old one: the old one has no
// other name, belongs to the user and carries no extended attributes (ACLs among them) that a
// new file would lack.
bool replaceableWithoutLoss(int descriptor, const struct stat& status) {
  if (status.st_nlink != 1 || status.st_uid != geteuid()) {
    return false;
  }
#ifdef __linux__
  const ssize_t listed = flistxattr(descriptor, nullptr, 0);
  return listed == 0 || (listed < 0 && errno == ENOTSUP);
#else
  // Where the attributes cannot be listed, they cannot be carried over either.
  (void)descriptor;
  return false;
#endif
}

// Gives the new file the old one's group and permission bits; false when the system refuses.
bool carryOverModeAndGroup(const NewFile& file, const struct stat& old) {
  constexpr mode_t kPermissionBits = 07777;
  const bool otherGroup = file.status.st_gid != old.st_gid;
  // Changing the group clears the set-ID bits, so it comes first.
  if (otherGroup && fchown(file.descriptor, static_cast<uid_t>(-1), old.st_gid) != 0) {
    return false;
  }
  if (!otherGroup && (file.status.st_mode & kPermissionBits) == (old.st_mode & kPermissionBits)) {
    return true;
  }
  return fchmod(file.descriptor, old.st_mode & kPermissionBits) == 0;
}

enum class Replacement { kDone, kFailed, kNotPossible };

// Puts the complete file named temporary in the place of fileName, checking that what it takes
// out is the file checked before; another process's file is put back.
bool exchangeFiles(const char* temporary, const char* fileName, const FileIdentity& old,
                   std::string& reason) {
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  if (renameat2(AT_FDCWD, temporary, AT_FDCWD, fileName, RENAME_EXCHANGE) == 0) {
    if (namesFile(temporary, old)) {
      (void)unlink(temporary);
      return true;
    }
    // Another process's file stood under the name: it gets its name back.
    if (renameat2(AT_FDCWD, temporary, AT_FDCWD, fileName, RENAME_EXCHANGE) == 0) {
      (void)unlink(temporary);
    }
    reason = "another file took its place meanwhile";
    return false;
  }
  if (!renameFlagsUnsupported()) {
    reason = errnoText(errno);
    (void)unlink(temporary);
    return false;
  }
#else
  (void)old;
#endif
  // As rsync replaces a file: the new one is renamed over the name.
  if (rename(temporary, fileName) != 0) {
    reason = errnoText(errno);
    (void)unlink(temporary);
    return false;
  }
  return true;
}

Replacement replaceFile(const char* fileName, const struct stat& old, const uint8_t* data,
                        size_t size, FileIdentity& written, std::string& reason) {
  NewFile file;
  int error = 0;
  // A folder the user may not change keeps the old file in place, rewritten.
  if (!createNewFile(fileName, file, error)) {
    return Replacement::kNotPossible;
  }
  if (!carryOverModeAndGroup(file, old)) {
    discardNewFile(file);
    return Replacement::kNotPossible;
  }
  if (!writeAll(file.descriptor, data, size, error) || !closeNamed(file, fileName, error)) {
    reason = errnoText(error);
    discardNewFile(file);
    return Replacement::kFailed;
  }
  if (!exchangeFiles(file.temporaryName.c_str(), fileName, identityOf(old), reason)) {
    return Replacement::kFailed;
  }
  written = identityOf(file.status);
  return Replacement::kDone;
}

// Before anything in the file changes: whether the system's file size limit and free space
// allow size bytes in it.
bool roomFor(int descriptor, size_t size, int& error) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    error = EFBIG;
    return false;
  }
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
  if (retryInterrupted([&] {
        return fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
      }) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    error = errno;
    return false;
  }
#else
  (void)descriptor;
#endif
  return true;
}

// Writes data over the start of the open file and cuts what is left of it beyond.
bool rewriteInPlace(int descriptor, const char* fileName, const struct stat& old, bool identical,
                    const uint8_t* data, size_t size, std::string& reason) {
  int error = 0;
  if (!identical && !roomFor(descriptor, size, error)) {
    reason = errnoText(error);
    (void)close(descriptor);
    return false;
  }
  bool written = writeAll(descriptor, data, size, error);
  if (written && static_cast<uint64_t>(old.st_size) > size &&
      retryInterrupted([&] { return ftruncate(descriptor, static_cast<off_t>(size)); }) != 0) {
    error = errno;
    written = false;
  }
  // Some file systems report a failed write only when the file is closed.
  if (!closedCleanly(descriptor) && written) {
    error = errno;
    written = false;
  }
  if (written) {
    return true;
  }
  // The reason is the first failure's; what became of the name is added after it.
  reason = errnoText(error);
  reason += withdrawFile(fileName, identityOf(old));
  return false;
}

bool writeExistingFile(const char* fileName, const uint8_t* data, size_t size,
                       ExistingFileCheck mayWrite, FileIdentity& written, std::string& reason) {
  // Read access serves only to compare; a file the user may write but not read is written.
  bool readable = true;
  int descriptor = openFile(fileName, O_RDWR);
  if (descriptor < 0 && errno == EACCES) {
    readable = false;
    descriptor = openFile(fileName, O_WRONLY);
  }
  if (descriptor < 0) {
    // The name went away after it was looked at: the file is then a new one.
    if (errno == ENOENT) {
      return writeNewFile(fileName, data, size, written, reason);
    }
    reason = errno == ELOOP ? "it is a symbolic link" : errnoText(errno);
    return false;
  }
  // Checked on the file actually opened, whatever the name showed before.
  struct stat status {};
  bool accepted = false;
  if (fstat(descriptor, &status) != 0) {
    reason = errnoText(errno);
  } else if (!S_ISREG(status.st_mode)) {
    reason = describeNonRegularFile(status.st_mode);
  } else {
    accepted = mayWrite(identityOf(status), static_cast<uint64_t>(status.st_size), reason);
  }
  if (!accepted) {
    (void)close(descriptor);
    return false;
  }
  written = identityOf(status);
  const bool identical = readable && static_cast<uint64_t>(status.st_size) == size &&
                         holdsBytes(descriptor, data, size);
  if (!identical && replaceableWithoutLoss(descriptor, status)) {
    const Replacement replaced = replaceFile(fileName, status, data, size, written, reason);
    if (replaced != Replacement::kNotPossible) {
      (void)close(descriptor);
      return replaced == Replacement::kDone;
    }
  }
  return rewriteInPlace(descriptor, fileName, status, identical, data, size, reason);
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
  return stream != nullptr && identifyDescriptor(fileno(stream), identity);
}

bool identifyStandardStream(int descriptor, FileIdentity& identity) {
  return identifyDescriptor(descriptor, identity);
}

bool writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                    ExistingFileCheck mayWrite, FileIdentity& written, std::string& reason) {
  // Looked at before anything is opened: opening a FIFO or a device can have effects of its own.
  struct stat status {};
  if (lstat(fileName, &status) != 0) {
    if (errno != ENOENT) {
      reason = errnoText(errno);
      return false;
    }
    return writeNewFile(fileName, data, size, written, reason);
  }
  if (!S_ISREG(status.st_mode)) {
    reason = describeNonRegularFile(status.st_mode);
    return false;
  }
  return writeExistingFile(fileName, data, size, mayWrite, written, reason);
}

void prepareProcess() {
  // A closed standard stream would be taken by the next file opened, and the names or reports
  // meant for it written there. A read-only stand-in makes every write to it fail instead.
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
      (void)open("/dev/null", O_RDONLY | O_NOCTTY);
    }
  }

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  (void)sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction hold {};
  hold.sa_handler = onEndingSignal;
  // No SA_RESTART: a signal interrupts a write blocked on a full pipe, so that it can end the
  // run. Every other signal waits for the handler to finish.
  (void)sigfillset(&hold.sa_mask);
  for (const int signalNumber : kEndingSignals) {
    catchEndingSignal(signalNumber, hold);
  }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    catchEndingSignal(signalNumber, hold);
  }
#endif
}

void holdEndingSignals() {
  signalsHeld = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void endRunIfSignalled() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int signalNumber = pendingSignal;
  if (signalNumber != 0) {
    // The names of the files complete so far go out before the run ends.
    (void)std::fflush(stdout);
    endBySignal(signalNumber);
  }
}

void releaseEndingSignals() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  signalsHeld = 0;
  // A signal that comes from here on ends the run at once, in its handler.
  endRunIfSignalled();
}
