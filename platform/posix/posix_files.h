// What the POSIX sources share among themselves about descriptors, names and the chunk files
// written through them; nothing outside platform/posix/ includes it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace posix_files {

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

// ---- descriptors.cpp: open files, their identity and their bytes

FileIdentity identityOf(const struct stat& status);

// fstat of an open file, with the moment it was made where the system tells it, so that a file
// that takes over a removed file's number is not taken for it.
bool inspectDescriptor(int descriptor, struct stat& status, FileIdentity& identity);

const char* describeNonRegularFile(mode_t mode);

// Opens a chunk file or a temporary one: never through a symbolic link, never waiting on a FIFO.
int openFile(const char* name, int flags, mode_t mode = 0);

// Owns one open descriptor and closes it once, wherever the write it serves ends.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() { (void)close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
  }
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset(other.descriptor_);
      other.descriptor_ = -1;
    }
    return *this;
  }

  int get() const { return descriptor_; }
  bool isOpen() const { return descriptor_ >= 0; }
  void reset(int descriptor);
  // Closes now; false, with errno set, when the system reports a failure that some file systems
  // keep until then.
  bool close();

 private:
  int descriptor_ = -1;
};

// What a name shows when looked at: the file expected, something else or nothing, or no answer
// (errno then says why).
enum class NameShows { kThatFile, kOther, kUnknown };
NameShows lookAtName(const char* name, const FileIdentity& identity);

// Writes all of data at the file's position; changed counts the bytes the file took.
bool writeAll(int descriptor, const uint8_t* data, size_t size, int& error, size_t& changed);

// Whether the open file starts with the size bytes of data, or cannot be read to tell.
enum class FileStart { kSame, kDiffers, kUnreadable };
FileStart compareStart(int descriptor, const uint8_t* data, size_t size);

// Whether an open regular file may be the image being read, however it was reached: it has the
// image's size and starts with its first disk header, or cannot be read to tell.
bool mayBeTheImage(int descriptor, const struct stat& status, bool readable,
                   const ExistingFileRules& rules);

// Records the first temporary name of the run's own that could not be removed.
void noteLeftover(FileWriteResult& result, const std::string& name, int error);

// ---- own_names.cpp: the run's temporary names and moves that replace nothing

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

// Whether a rename with flags failed only because the system or file system lacks them.
bool renameFlagsUnsupported(int error);

// Whether a link failed only because the file system has no hard links.
bool linksUnsupported(int error);

// Gives the file named from the name to only while to names nothing; false with errno set
// (EEXIST when to is taken). fromKept is set when to got the file but from could not be
// removed, with errno saying why.
bool moveIfFree(const char* from, const char* to, bool& fromKept);

// Removes the run's temporary name while it still names the run's file; false with errno set
// when it stays, or when what it names cannot be told.
bool removeTemporary(const std::string& name, const FileIdentity& identity);

// Takes fileName away from the run's file whose bytes changed before its write failed; open is
// its descriptor, when the run still holds it. Says what the name shows afterwards.
NameLeft withdrawFile(const char* fileName, const FileIdentity& identity, Descriptor& open,
                      FileWriteResult& result);

// ---- new_files.cpp: files written where no chunk name shows them

constexpr mode_t kPermissionBits = 07777;

// A file the run writes before it takes a chunk's name: without any name, or under a temporary
// name of the run's own.
struct StandIn {
  Descriptor descriptor;
  // Empty while the file has no name at all.
  std::string temporaryName;
  struct stat status {};
  FileIdentity identity;
};

// Creates an empty stand-in for fileName in the current directory.
bool createStandIn(const char* fileName, StandIn& file, int& error);

// Closes a stand-in that will not be used and removes its temporary name.
void discardStandIn(StandIn& file, FileWriteResult& result);

// Gives an unnamed stand-in a temporary name of the run's own; false, with result.reason set,
// when it cannot, and unnamedFilesLost set when unnamed files cannot be named here at all.
bool nameStandIn(const char* fileName, StandIn& file, bool& unnamedFilesLost,
                 FileWriteResult& result);

// Gives a stand-in its final mode and group, checked on the file itself.
bool giveModeAndGroup(const StandIn& file, mode_t mode, gid_t group);

// Writes a new chunk file where no chunk name shows it and stages it for its name.
FileWriteResult writeNewFile(const char* fileName, const uint8_t* data, size_t size);

// How giving a staged file its name went: done (complete or failed, as the result says);
// unnameable when its unnamed file cannot be named in this folder at all, so that it must be
// written again under a temporary name; or, for a replacement that cannot take the older file's
// place, to be written in place after all.
enum class Naming { kDone, kUnnameable, kRewriteInPlace };

// A staged new file gets fileName, only while that name is free.
Naming nameNewFile(const char* fileName, StandIn& file, FileWriteResult& result);

// Writes a staged file again under a temporary name of the run's own, with a new file's mode or
// the older file's mode and group, and flushes it on its own: for a file whose unnamed stand-in
// turned out not to be nameable here.
bool rewriteUnderTemporaryName(const char* fileName, const uint8_t* data, size_t size,
                               const struct stat* older, StandIn& file, FileWriteResult& result);

// ---- staged_files.cpp: complete files waiting for their names until their bytes are on the disk

// A complete file written where no chunk name shows it.
struct StagedFile {
  std::string fileName;
  // The chunk, kept by the caller until the file is named, for writing it again where its
  // unnamed file cannot be named.
  const uint8_t* data = nullptr;
  size_t size = 0;
  StandIn file;
  // A replacement's older file, still open for a rewrite in place where the new file cannot
  // take its place, with what it was when checked.
  Descriptor older;
  struct stat olderStatus {};
  bool replaces = false;
  // Flushed to the disk on its own already.
  bool flushed = false;
  // Set once named: a new file under a name that was free, and the temporary name that holds
  // the older file a replacement was exchanged with, until the new name is on the disk.
  bool tookFreeName = false;
  std::string olderKeptAs;
};

// Adds a written stand-in to the files waiting for their names, after flushing it on its own
// where the file system cannot flush a batch at once; result tells which.
void stageFile(StagedFile&& file, FileWriteResult& result);

// ---- flushing.cpp: written bytes and names onto the disk

// Opens the run's folder, once before the first file is written in it, by which its file system
// and its entries are flushed; false with errno set when it cannot be opened (yet).
bool openFolder();

// How the folder's file system gets written bytes to the disk: by one flush of the whole file
// system; file by file on FUSE and network file systems, whose flush of the whole file system
// does not reach the device or the server, and on systems without one; or not at all, for a
// file system in memory (tmpfs), where files are named as soon as they are written.
enum class FlushWay { kWholeFileSystem, kFileByFile, kNone };
FlushWay flushWay();

// Flushes an open file's bytes to the disk; false with errno set. A file system that has no
// such flush keeps nothing back, which is no failure.
bool flushFile(int descriptor);

// Flushes every file's bytes in the folder's file system at once; false with errno set.
bool flushFileSystem();

// Flushes the folder's own entries, the names given in it; false with errno set.
bool flushFolder();

// ---- file_system.cpp: what the folder's file system shows of its files

// Whether the run's folder is on a network file system (NFS, SMB, sshfs and others, known by
// the mount's type), whose server may keep links and attributes that it does not show here.
bool folderOnNetwork();

// Whether the new file carries every inode flag (no-copy-on-write, no-dump, ...) the old has.
bool keepsInodeFlags(int oldDescriptor, int newDescriptor);

// ---- replacement.cpp: an older file replaced whole

enum class Replacement { kDone, kFailed, kNotPossible };

// Whether the older file, open as descriptor, can give way to a new one without losing what
// only it has: other names, another owner, extended attributes, inode flags, or what a network
// file system does not show.
bool replaceableWithoutLoss(int descriptor, const struct stat& status);

// Writes a complete new file with the old one's mode and group and stages it to take the old
// one's place, keeping older open for that; kNotPossible leaves older with the caller.
Replacement replaceFile(const char* fileName, Descriptor& older, const struct stat& old,
                        const uint8_t* data, size_t size, FileWriteResult& result);

// Puts a staged replacement in the place of the older file it was checked against.
Naming nameReplacement(StagedFile& staged, FileWriteResult& result);

// Gives an exchanged replacement's older file its name back while the name still shows made,
// the new file, which then stands under the older file's temporary name.
bool exchangeBack(const StagedFile& staged, const FileIdentity& made);

// ---- existing_files.cpp

// Writes data over the start of the open file, cuts it to the chunk's length and flushes it.
void rewriteInPlace(Descriptor& file, const char* fileName, const FileIdentity& identity,
                    const uint8_t* data, size_t size, FileWriteResult& result);

}  // namespace posix_files
