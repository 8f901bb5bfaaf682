// The system layer on POSIX systems.
#include <fcntl.h>
#include <poll.h>
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

// A run ended by signal n that cannot die of it exits with 128 + n, as a shell reports it.
constexpr int kSignalStatusBase = 128;

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

// Set while the names are being given to standard output, which may wait on a full pipe.
volatile sig_atomic_t writingOutput = 0;

// Ends the process by signalNumber, as the shell expects: with the default action back and the
// signal unblocked, raising it ends the process at once. The first process of a PID namespace
// (a container's init) ignores such a signal; it exits with the status a shell gives instead.
[[noreturn]] void endBySignal(int signalNumber) {
  (void)signal(signalNumber, SIG_DFL);
  sigset_t only;
  (void)sigemptyset(&only);
  (void)sigaddset(&only, signalNumber);
  (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(signalNumber);
  // cppcheck-suppress unreachableCode ; raise returns where the signal cannot end the process
  _exit(kSignalStatusBase + signalNumber);
}

extern "C" void onEndingSignal(int signalNumber) {
  if (signalsHeld != 0) {
    if (pendingSignal == 0) {
      pendingSignal = signalNumber;
      return;
    }
    // A second signal while the names wait for a full pipe: the run ends now.
    if (writingOutput == 0) {
      return;
    }
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

// Owns one open descriptor and closes it once, wherever the write it serves ends.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() { (void)close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  bool isOpen() const { return descriptor_ >= 0; }
  void reset(int descriptor) {
    (void)close();
    descriptor_ = descriptor;
  }
  // Closes now; false, with errno set, when the system reports a failure that some file systems
  // keep until then. Linux releases the descriptor even when interrupted, so that is no failure.
  bool close() {
    if (descriptor_ < 0) {
      return true;
    }
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return ::close(descriptor) == 0 || errno == EINTR;
  }

 private:
  int descriptor_ = -1;
};

// The file under name, looked up once (the names checked so are the run's own temporary ones).
bool namesFile(const std::string& name, const FileIdentity& identity) {
  struct stat status {};
  return lstat(name.c_str(), &status) == 0 && identityOf(status) == identity;
}

// Writes all of data at the file's position; changed counts the bytes the file took.
bool writeAll(int descriptor, const uint8_t* data, size_t size, int& error, size_t& changed) {
  changed = 0;
  while (changed < size) {
    const ssize_t done =
        retryInterrupted([&] { return write(descriptor, data + changed, size - changed); });
    if (done <= 0) {
      error = done < 0 ? errno : 0;
      return false;
    }
    changed += static_cast<size_t>(done);
  }
  return true;
}

// Whether the open file starts with the size bytes of data.
bool startsWith(int descriptor, const uint8_t* data, size_t size) {
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

void noteLeftover(FileWriteResult& result, const std::string& name, int error) {
  if (result.leftover.empty()) {
    result.leftover = name;
    result.leftoverReason = errnoText(error);
  }
}

// ---------------------------------------------------------------------------------------------
// Names of the run's own

// Calls claim with one temporary name after another until one succeeds; false, with errno set,
// when claim fails otherwise than by finding the name taken, or every name is taken.
template <typename Claim>
bool claimTemporaryName(const char* fileName, std::string& name, Claim claim) {
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    name = temporaryNameFor(fileName, attempt);
    if (claim(name.c_str())) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

// How the folder's file system moves a name without replacing another. Every chunk file goes to
// the same folder, so the first move that finds a way tells it for the whole run.
enum class NoReplaceMove { kRenameFlag, kLink, kCheckFirst };
NoReplaceMove noReplaceMove = NoReplaceMove::kRenameFlag;

// Whether a rename with flags failed only because the system or file system lacks them.
[[maybe_unused]] bool renameFlagsUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Whether a link failed only because the file system has no hard links (FAT, exFAT, SMB, the
// browser's in-memory one, which says EMLINK). The files linked are the run's own with one link,
// so no other limit on links can be what failed.
bool linksUnsupported(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// Gives the file named from the name to only while to names nothing; false with errno set
// (EEXIST when to is taken). fromKept is set when to got the file but from could not be
// removed, with errno saying why.
bool moveIfFree(const char* from, const char* to, bool& fromKept) {
  fromKept = false;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (noReplaceMove == NoReplaceMove::kRenameFlag) {
    if (retryInterrupted(
            [&] { return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); }) == 0) {
      return true;
    }
    if (!renameFlagsUnsupported(errno)) {
      return false;
    }
    noReplaceMove = NoReplaceMove::kLink;
  }
#else
  if (noReplaceMove == NoReplaceMove::kRenameFlag) {
    noReplaceMove = NoReplaceMove::kLink;
  }
#endif
  if (noReplaceMove == NoReplaceMove::kLink) {
    // A link fails when the name is taken; the old name then goes.
    if (retryInterrupted([&] { return link(from, to); }) == 0) {
      fromKept = retryInterrupted([&] { return unlink(from); }) != 0;
      return true;
    }
    if (!linksUnsupported(errno)) {
      return false;
    }
    noReplaceMove = NoReplaceMove::kCheckFirst;
  }
  // The name is looked at, then taken by a plain rename: the instant between the two is the one
  // place where a file that another process makes under that very name can be replaced.
  struct stat status {};
  if (lstat(to, &status) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) {
    return false;
  }
  return retryInterrupted([&] { return rename(from, to); }) == 0;
}

// Removes the run's temporary name while it still names the run's file; false with errno set
// when it stays.
bool removeTemporary(const std::string& name, const FileIdentity& identity) {
  return !namesFile(name, identity) ||
         retryInterrupted([&] { return unlink(name.c_str()); }) == 0 || errno == ENOENT;
}

// Takes fileName away from a file whose bytes changed before its write failed, so that the name
// holds nothing, but only while it still names that file: the name is first moved to a name of
// the run's own, and moved back when another process's file had taken it meanwhile. The file is
// emptied first, so that no other link to it keeps partial bytes; open is its descriptor, when
// the run still holds it.
NameLeft withdrawFile(const char* fileName, const FileIdentity& identity, Descriptor& open,
                      FileWriteResult& result) {
  if (!open.isOpen()) {
    open.reset(openFile(fileName, O_WRONLY));
    FileIdentity opened;
    // Nothing, or another process's file, stands under the name now; the run's own is gone.
    if ((!open.isOpen() && errno == ENOENT) ||
        (open.isOpen() && !(identifyDescriptor(open.get(), opened) && opened == identity))) {
      return NameLeft::kRemoved;
    }
  }
  const bool emptied =
      open.isOpen() && retryInterrupted([&] { return ftruncate(open.get(), 0); }) == 0;
  (void)open.close();
  std::string taken;
  bool nameKept = false;
  if (!claimTemporaryName(fileName, taken,
                          [&](const char* name) { return moveIfFree(fileName, name, nameKept); })) {
    return emptied ? NameLeft::kEmptied : NameLeft::kIncomplete;
  }
  const bool ours = namesFile(taken, identity);
  if (nameKept || !ours) {
    // The chunk's name still stands, or held another process's file, which gets it back.
    bool takenKept = false;
    if (ours ? retryInterrupted([&] { return unlink(taken.c_str()); }) != 0
             : !moveIfFree(taken.c_str(), fileName, takenKept) || takenKept) {
      noteLeftover(result, taken, errno);
    }
    if (nameKept) {
      return emptied ? NameLeft::kEmptied : NameLeft::kIncomplete;
    }
    return NameLeft::kRemoved;
  }
  if (retryInterrupted([&] { return unlink(taken.c_str()); }) != 0) {
    noteLeftover(result, taken, errno);
  }
  return NameLeft::kRemoved;
}

// ---------------------------------------------------------------------------------------------
// Files written where no chunk name shows them

// New chunk files get the mode the user's umask allows, as with any file a program creates.
constexpr mode_t kNewFileMode = 0666;
// A file under a temporary name is its owner's alone until it is complete and given its mode.
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPermissionBits = 07777;

mode_t newFileMode() {
#ifdef __EMSCRIPTEN__
  // The browser's in-memory file system reports a umask of 0777 that it never applies to the
  // files it makes; taken at its word, it would make every chunk file unreadable.
  return kNewFileMode;
#else
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    (void)umask(mask);
    return kNewFileMode & ~mask;
  }();
  return mode;
#endif
}

// Cleared when the folder's file system cannot make unnamed files, or cannot name them.
#if defined(__linux__) && defined(O_TMPFILE)
bool unnamedFilesWork = true;
#else
bool unnamedFilesWork = false;
#endif

// Whether an open with O_TMPFILE failed only because the system or file system lacks it; older
// kernels take it for a plain directory open (EISDIR).
[[maybe_unused]] bool unnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A file the run writes before it takes a chunk's name: without any name, or under a temporary
// name of the run's own.
struct StandIn {
  Descriptor descriptor;
  // Empty while the file has no name at all.
  std::string temporaryName;
  struct stat status {};
};

// Creates an empty stand-in for fileName in the current directory: without any name where the
// system can, otherwise under a free temporary name, readable by its owner alone.
bool createStandIn(const char* fileName, StandIn& file, int& error) {
#if defined(__linux__) && defined(O_TMPFILE)
  if (unnamedFilesWork) {
    file.descriptor.reset(openFile(".", O_TMPFILE | O_RDWR, kNewFileMode));
    if (!file.descriptor.isOpen() && !unnamedFilesUnsupported(errno)) {
      error = errno;
      return false;
    }
    unnamedFilesWork = file.descriptor.isOpen();
  }
#endif
  if (!unnamedFilesWork) {
    int opened = -1;
    if (!claimTemporaryName(fileName, file.temporaryName, [&](const char* name) {
          opened = openFile(name, O_RDWR | O_CREAT | O_EXCL, kPrivateFileMode);
          return opened >= 0;
        })) {
      error = errno;
      file.temporaryName.clear();
      return false;
    }
    file.descriptor.reset(opened);
  }
  if (fstat(file.descriptor.get(), &file.status) != 0) {
    error = errno;
    (void)file.descriptor.close();
    // Made by this run with O_EXCL a moment ago, so the name is the run's own.
    if (!file.temporaryName.empty()) {
      (void)unlink(file.temporaryName.c_str());
    }
    return false;
  }
  return true;
}

// Closes a stand-in that will not be used and removes its temporary name.
void discardStandIn(StandIn& file, FileWriteResult& result) {
  (void)file.descriptor.close();
  if (!file.temporaryName.empty() &&
      !removeTemporary(file.temporaryName, identityOf(file.status))) {
    noteLeftover(result, file.temporaryName, errno);
  }
}

enum class LinkResult { kLinked, kFailed, kUnsupported };

// Gives an unnamed file the name name; an existing name is never replaced.
LinkResult linkUnnamedFile(int descriptor, const char* name) {
  // Linking a descriptor directly (AT_EMPTY_PATH) takes a capability that ordinary users lack
  // before Linux 6.10; its entry under /proc works for every user, where /proc is mounted.
  const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
  if (retryInterrupted(
          [&] { return linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW); }) == 0) {
    return LinkResult::kLinked;
  }
#ifdef AT_EMPTY_PATH
  if (errno == ENOENT && retryInterrupted([&] {
                           return linkat(descriptor, "", AT_FDCWD, name, AT_EMPTY_PATH);
                         }) == 0) {
    return LinkResult::kLinked;
  }
#endif
  // No /proc and the capability refused, or a file system without links: files under a
  // temporary name work there.
  return errno == ENOENT || linksUnsupported(errno) ? LinkResult::kUnsupported
                                                    : LinkResult::kFailed;
}

// Gives a stand-in its final mode and group, checked on the file itself: a file system that
// keeps neither shows its own, which then must already be the ones wanted.
bool giveModeAndGroup(const StandIn& file, mode_t mode, gid_t group) {
  const int descriptor = file.descriptor.get();
  // Changing the group clears the set-ID bits, so it comes first.
  if (file.status.st_gid != group &&
      retryInterrupted([&] { return fchown(descriptor, static_cast<uid_t>(-1), group); }) != 0) {
    return false;
  }
  if ((file.status.st_mode & kPermissionBits) != mode || file.status.st_gid != group) {
    (void)retryInterrupted([&] { return fchmod(descriptor, mode); });
  }
  struct stat status {};
  return fstat(descriptor, &status) == 0 && (status.st_mode & kPermissionBits) == mode &&
         status.st_gid == group;
}

// A new chunk file: written without a name, or under a temporary one, and given the chunk's
// name when complete, only while the name is free.
FileWriteResult writeNewFile(const char* fileName, const uint8_t* data, size_t size) {
  FileWriteResult result;
  // A second round only when unnamed files turn out not to be nameable here.
  for (int round = 0; round < 2; ++round) {
    StandIn file;
    int error = 0;
    size_t changed = 0;
    if (!createStandIn(fileName, file, error)) {
      result.reason = errnoText(error);
      return result;
    }
    if (!writeAll(file.descriptor.get(), data, size, error, changed)) {
      result.reason = errnoText(error);
      discardStandIn(file, result);
      return result;
    }
    result.written = identityOf(file.status);
    if (file.temporaryName.empty()) {
      const LinkResult linked = linkUnnamedFile(file.descriptor.get(), fileName);
      if (linked == LinkResult::kUnsupported) {
        unnamedFilesWork = false;
        continue;
      }
      if (linked == LinkResult::kFailed) {
        result.reason = errnoText(errno);
        return result;
      }
      // Closed only now, as the link needs the descriptor; a late write error takes the name
      // back, which was free before.
      if (!file.descriptor.close()) {
        result.reason = errnoText(errno);
        result.left = withdrawFile(fileName, result.written, file.descriptor, result);
        return result;
      }
      result.complete = true;
      return result;
    }
    // Some file systems keep no modes (FAT): the file then shows the one they give every file.
    (void)retryInterrupted([&] { return fchmod(file.descriptor.get(), newFileMode()); });
    bool temporaryKept = false;
    if (!file.descriptor.close() ||
        !moveIfFree(file.temporaryName.c_str(), fileName, temporaryKept)) {
      result.reason = errnoText(errno);
      discardStandIn(file, result);
      return result;
    }
    if (temporaryKept) {
      noteLeftover(result, file.temporaryName, errno);
    }
    result.complete = true;
    return result;
  }
  return result;
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

enum class Replacement { kDone, kFailed, kNotPossible };

// Puts the complete file named temporary in the place of fileName, checking that what it takes
// out is the file checked before; another process's file is put back.
Replacement exchangeFiles(const std::string& temporary, const char* fileName,
                          const FileIdentity& old, const FileIdentity& made,
                          FileWriteResult& result) {
  const char* from = temporary.c_str();
  // The new file goes again. A mount point under the name (a bind mount) cannot be replaced,
  // only written.
  const auto moveFailed = [&](int error) {
    if (!removeTemporary(temporary, made)) {
      noteLeftover(result, temporary, errno);
    }
    if (error == EBUSY) {
      return Replacement::kNotPossible;
    }
    result.reason = errnoText(error);
    return Replacement::kFailed;
  };
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  const auto exchange = [&] {
    return retryInterrupted(
        [&] { return renameat2(AT_FDCWD, from, AT_FDCWD, fileName, RENAME_EXCHANGE); });
  };
  if (exchange() == 0) {
    if (namesFile(temporary, old)) {
      if (retryInterrupted([&] { return unlink(from); }) != 0) {
        noteLeftover(result, temporary, errno);
      }
      return Replacement::kDone;
    }
    // Another process's file stood under the name: it gets its name back.
    if (exchange() != 0 || !removeTemporary(temporary, made)) {
      noteLeftover(result, temporary, errno);
    }
    result.reason = "another file took its place meanwhile";
    return Replacement::kFailed;
  }
  if (!renameFlagsUnsupported(errno)) {
    return moveFailed(errno);
  }
#else
  (void)old;
#endif
  // As rsync replaces a file: the new one is renamed over the name.
  if (retryInterrupted([&] { return rename(from, fileName); }) != 0) {
    return moveFailed(errno);
  }
  return Replacement::kDone;
}

// Writes a complete new file with the old one's mode and group and puts it in the old one's
// place. kNotPossible when it cannot be made so that nothing is lost (a folder the user may not
// change, a mode or group the file system does not reproduce); a passing shortage (descriptors,
// inodes, space) fails the chunk instead, with the old file as it was.
Replacement replaceFile(const char* fileName, const struct stat& old, const uint8_t* data,
                        size_t size, FileWriteResult& result) {
  for (int round = 0; round < 2; ++round) {
    StandIn file;
    int error = 0;
    size_t changed = 0;
    if (!createStandIn(fileName, file, error)) {
      if (error == EACCES || error == EPERM || error == EROFS) {
        return Replacement::kNotPossible;
      }
      result.reason = errnoText(error);
      return Replacement::kFailed;
    }
    if (!writeAll(file.descriptor.get(), data, size, error, changed)) {
      result.reason = errnoText(error);
      discardStandIn(file, result);
      return Replacement::kFailed;
    }
    // Given after the write, which would clear a set-group-ID bit again.
    if (!giveModeAndGroup(file, old.st_mode & kPermissionBits, old.st_gid)) {
      discardStandIn(file, result);
      return Replacement::kNotPossible;
    }
    if (file.temporaryName.empty()) {
      LinkResult linked = LinkResult::kFailed;
      if (!claimTemporaryName(fileName, file.temporaryName, [&](const char* name) {
            linked = linkUnnamedFile(file.descriptor.get(), name);
            return linked == LinkResult::kLinked;
          })) {
        file.temporaryName.clear();
        if (linked == LinkResult::kUnsupported) {
          unnamedFilesWork = false;
          continue;
        }
        result.reason = errnoText(errno);
        return Replacement::kFailed;
      }
    }
    if (!file.descriptor.close()) {
      result.reason = errnoText(errno);
      discardStandIn(file, result);
      return Replacement::kFailed;
    }
    const Replacement replaced = exchangeFiles(file.temporaryName, fileName, identityOf(old),
                                               identityOf(file.status), result);
    if (replaced == Replacement::kDone) {
      result.written = identityOf(file.status);
      result.complete = true;
    }
    return replaced;
  }
  return Replacement::kNotPossible;
}

// Before anything in the file changes: whether the system's file size limit and free space
// allow size bytes in it. Copy-on-write file systems reserve nothing this way; a write that
// then fails at once has changed nothing either.
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
      (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
    error = errno;
    return false;
  }
#else
  (void)descriptor;
#endif
  return true;
}

// Writes data over the start of the open file and cuts what is left of it beyond.
void rewriteInPlace(Descriptor& file, const char* fileName, const struct stat& old,
                    const uint8_t* data, size_t size, const ExistingFileRules& rules,
                    FileWriteResult& result) {
  const FileIdentity identity = identityOf(old);
  if (rules.imageHead != nullptr && static_cast<uint64_t>(old.st_size) == rules.imageSize &&
      startsWith(file.get(), rules.imageHead, rules.imageHeadSize)) {
    result.reason = "it may be the image being read";
    return;
  }
  int error = 0;
  size_t changed = 0;
  if (!roomFor(file.get(), size, error)) {
    result.reason = errnoText(error);
    return;
  }
  bool written = writeAll(file.get(), data, size, error, changed);
  if (written && static_cast<uint64_t>(old.st_size) > size &&
      retryInterrupted([&] { return ftruncate(file.get(), static_cast<off_t>(size)); }) != 0) {
    error = errno;
    written = false;
  }
  // Some file systems report a failed write only when the file is closed.
  if (written && !file.close()) {
    error = errno;
    written = false;
  }
  if (written) {
    result.written = identity;
    result.complete = true;
    return;
  }
  result.reason = errnoText(error);
  if (changed > 0) {
    result.left = withdrawFile(fileName, identity, file, result);
  }
}

FileWriteResult writeExistingFile(const char* fileName, const uint8_t* data, size_t size,
                                  const ExistingFileRules& rules) {
  FileWriteResult result;
  // Read access serves only to compare; a file the user may write but not read is written.
  bool readable = true;
  Descriptor file(openFile(fileName, O_RDWR));
  if (!file.isOpen() && errno == EACCES) {
    readable = false;
    file.reset(openFile(fileName, O_WRONLY));
  }
  if (!file.isOpen()) {
    // The name went away after it was looked at: the file is then a new one.
    if (errno == ENOENT) {
      return writeNewFile(fileName, data, size);
    }
    result.reason = errno == ELOOP ? "it is a symbolic link" : errnoText(errno);
    return result;
  }
  // Checked on the file actually opened, whatever the name showed before.
  struct stat status {};
  if (fstat(file.get(), &status) != 0) {
    result.reason = errnoText(errno);
    return result;
  }
  if (!S_ISREG(status.st_mode)) {
    result.reason = describeNonRegularFile(status.st_mode);
    return result;
  }
  if (!rules.mayWrite(identityOf(status), static_cast<uint64_t>(status.st_size), result.reason)) {
    return result;
  }
  if (readable && static_cast<uint64_t>(status.st_size) == size &&
      startsWith(file.get(), data, size)) {
    // Nothing is written, so nothing can fail half-way; the time still tells that this run
    // wrote the file, where the file system can keep it.
    (void)retryInterrupted([&] { return futimens(file.get(), nullptr); });
    result.written = identityOf(status);
    result.complete = true;
    return result;
  }
  if (replaceableWithoutLoss(file.get(), status) &&
      replaceFile(fileName, status, data, size, result) != Replacement::kNotPossible) {
    return result;
  }
  rewriteInPlace(file, fileName, status, data, size, rules, result);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Standard output

// The names waiting for standard output, and the first failure to write them.
std::string queuedOutput;
int outputError = 0;

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

bool measureStream(std::FILE* stream, uint64_t& size) {
  struct stat status {};
  if (stream == nullptr || fstat(fileno(stream), &status) != 0 || status.st_size < 0) {
    return false;
  }
  size = static_cast<uint64_t>(status.st_size);
  return true;
}

FileWriteResult writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                               const ExistingFileRules& rules) {
  // Looked at before anything is opened: opening a FIFO or a device can have effects of its own.
  struct stat status {};
  if (lstat(fileName, &status) != 0) {
    if (errno != ENOENT) {
      FileWriteResult result;
      result.reason = errnoText(errno);
      return result;
    }
    return writeNewFile(fileName, data, size);
  }
  if (!S_ISREG(status.st_mode)) {
    FileWriteResult result;
    result.reason = describeNonRegularFile(status.st_mode);
    return result;
  }
  return writeExistingFile(fileName, data, size, rules);
}

void queueStandardOutput(const char* text, size_t size) {
  if (outputError == 0) {
    queuedOutput.append(text, size);
  }
}

bool flushStandardOutput(int& error) {
  writingOutput = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  size_t done = 0;
  while (outputError == 0 && done < queuedOutput.size()) {
    const ssize_t wrote =
        write(STDOUT_FILENO, queuedOutput.data() + done, queuedOutput.size() - done);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
    } else if (wrote < 0 && errno == EINTR) {
      // A first ending signal waits for the names; a second one ends the run in its handler.
      continue;
    } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Another program left the output non-blocking: wait until it takes more.
      pollfd output{STDOUT_FILENO, POLLOUT, 0};
      (void)poll(&output, 1, -1);
    } else {
      // Not every system says why a write gave nothing.
      outputError = wrote < 0 && errno != 0 ? errno : EIO;
    }
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  writingOutput = 0;
  queuedOutput.clear();
  error = outputError;
  return outputError == 0;
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
    int error = 0;
    (void)flushStandardOutput(error);
    endBySignal(signalNumber);
  }
}

void releaseEndingSignals() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  signalsHeld = 0;
  // A signal that comes from here on ends the run at once, in its handler.
  endRunIfSignalled();
}
