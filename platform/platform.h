// What the program needs from the system beyond standard C++: opening the image only when it is
// a file that can be positioned, telling files apart by the system's own identity, publishing a
// chunk file only once it is whole and on the disk, and ending a run by a signal only between two
// chunk files.
// The sources in platform/posix/ and platform/windows/ each implement all of it; the build
// compiles the ones for the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

// A link, or another name of the same file, gives the same identity as the file itself.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  // When the file was made, in nanoseconds, where the system tells it (0 where not). A file
  // number that a removed file leaves can be given to a new file; its birth tells them apart.
  uint64_t birth = 0;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
  return left.volume == right.volume && left.file == right.file;
}

// Whether two identities taken at different times show the same file, not a later file that
// got a removed one's number.
inline bool sameFileOverTime(const FileIdentity& earlier, const FileIdentity& later) {
  return earlier == later &&
         (earlier.birth == 0 || later.birth == 0 || earlier.birth == later.birth);
}

// The system's reason for a failure, from an errno value. Not every library sets errno for
// every failed write, so a plain "write error" stands in for 0.
inline std::string errnoText(int error) {
  if (error == 0) {
    return "write error";
  }
  return std::error_code(error, std::generic_category()).message();
}

// Temporary names are tried one after another past whatever already stands under one: a file
// left by a killed run, another run's in the same folder, a link, a directory.
constexpr int kTemporaryNameTries = 100;

// The run's own name number attempt in the folder of fileName: a dot, then the chunk's name and
// whose it is, so that one left by a killed run is hidden and tells where it comes from. Kept to
// 13 characters, one long-name entry on FAT: FAT through fusefat stops making files in a folder
// where longer names have come and gone.
inline std::string temporaryNameFor(const char* fileName, int attempt) {
  std::string name = "." + std::string(fileName) + ".vornix";
  if (attempt > 0) {
    name += "-" + std::to_string(attempt);
  }
  return name;
}

// Opens path (a byte string, as given on the command line) for binary reading, without waiting
// on it, and keeps it only when it is a file the reader can move about in: a regular file or a
// block device (on Windows, a disk file). nullptr for anything else, and when it cannot be
// opened.
std::FILE* openImageStream(const char* path);

// The identity of the file an open stream reads; false when the system cannot tell.
bool identifyStream(std::FILE* stream, FileIdentity& identity);

// The identity of the file whose bytes a device stream reads, where the device is a view of a
// file (a loop device); false for anything else.
bool identifyBackingFile(std::FILE* stream, FileIdentity& identity);

// The identity of what descriptor 1 (standard output) or 2 (standard error) writes to; false
// when it is closed or the system cannot tell.
bool identifyStandardStream(int descriptor, FileIdentity& identity);

// Decides whether an existing file, opened under a chunk's name, may be written: given its
// identity and size, returns true, or false with the reason it must stay as it was.
using ExistingFileCheck = bool (*)(const FileIdentity& opened, uint64_t size, std::string& reason);

// What an existing file must pass before it is written, and what marks the image being read
// however it was reached: a file of the image's size that starts with the image's first bytes is
// never written, since its identity can differ by the path it was reached through (an overlay
// mount, a network mount of the same folder).
struct ExistingFileRules {
  ExistingFileCheck mayWrite = nullptr;
  uint64_t imageSize = 0;
  const uint8_t* imageHead = nullptr;
  size_t imageHeadSize = 0;
};

// Whether descriptor 1 (standard output) or 2 (standard error) writes to a file that may be the
// image however it was reached: a regular file of the image's size that starts with its first
// disk header, or that cannot be read to tell.
bool standardStreamMayBeImage(int descriptor, const ExistingFileRules& rules);

// What a failed write left under the chunk's name.
enum class NameLeft {
  kAsItWas,     // nothing had changed: the name shows what it showed before, or nothing
  kRemoved,     // the file's bytes had changed, so it was emptied and its name removed
  kEmptied,     // emptied, but the name could not be removed
  kIncomplete,  // neither emptied nor removed: the name shows part of the chunk
};

struct FileWriteResult {
  bool complete = false;
  // Written whole where no chunk name shows it, waiting for nameStagedFiles to give it its name.
  bool staged = false;
  // The file that holds the chunk, when complete or staged.
  FileIdentity written;
  // Why the write failed.
  std::string reason;
  NameLeft left = NameLeft::kAsItWas;
  // A temporary name of the run's own that could not be removed, and why; empty when none.
  std::string leftover;
  std::string leftoverReason;
};

// Writes size bytes to fileName in the current directory so that, however the run ends and
// whenever the power fails, the name holds what it held before, the whole chunk, or nothing:
// - a new file is written where no name shows it, or under a temporary name of the run's own,
//   and is left staged: it gets the chunk's name from nameStagedFiles, once its bytes are on the
//   disk, and only if the name is still free;
// - an existing regular file that rules accept and that already holds the bytes is not written
//   at all, only given the time of a write;
// - one with other bytes is replaced by a complete new file when nothing is lost by it (one
//   link, the user's own, no extended attributes, its mode and group carried over), staged the
//   same way, so that the older file goes only once the new one is on the disk; when that cannot
//   be done it is rewritten in place, keeping its identity, owner, mode and links, and flushed to
//   the disk before it counts as complete; a failure that changed none of its bytes leaves it as
//   it was;
// - anything else under the name (a symbolic link, a directory, a FIFO, a device, a socket) is
//   left unchanged without being opened.
// data must stay as it is until nameStagedFiles has named the file.
FileWriteResult writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                               const ExistingFileRules& rules);

// Whether the staged files hold as many descriptors as the run may keep open; they must then be
// named before another file is written.
bool stagedFilesFull();

// Flushes the bytes of every staged file to the disk, all at once where the file system allows,
// then gives each its chunk name with the checks writeFileWhole describes, and flushes the
// folder's entries. Returns one result for each staged file, in the order they were written;
// folderError is set to the system's reason when the folder's entries could not be flushed. A
// failed flush of the bytes fails every staged file, and none of them gets its name.
std::vector<FileWriteResult> nameStagedFiles(int& folderError);

// The size of the file an open stream reads; false when the system cannot tell.
bool measureStream(std::FILE* stream, uint64_t& size);

// Reads up to size bytes at offset of the file an image stream opened, past the stream and its
// buffer and without moving any file position; returns how many arrived, stopping only at the
// end of the file or at a failure, whose reason it sets in error. Some block devices answer a
// read at or beyond their end with EINVAL, which there means no more bytes; before it, EINVAL
// is a failure.
size_t readImageAt(std::FILE* stream, int64_t offset, uint8_t* dest, size_t size, int& error);

// Standard output gathers the names of the files written and gives them to the system when
// flushed. A signal that interrupts the flush does not drop them: they go out once the system
// takes them. False, with the system's reason, once a write to standard output has failed.
void queueStandardOutput(const char* text, size_t size);
bool flushStandardOutput(int& error);

// Makes sure descriptors 0 to 2 are open, so that no file the run opens can take the place of
// standard output or standard error. A broken pipe or a file size limit fails the write that met
// it instead of ending the run. Every catchable signal whose default action ends the process
// ends the run at once, by that signal, unless signals are held; signals that were ignored when
// the program started stay ignored.
void prepareProcess();

// While held, an ending signal waits: endRunIfSignalled and releaseEndingSignals end the run by
// it, after writing out what standard output still holds; a second signal that comes while
// standard output cannot take that ends the run at once. A process that the signal cannot end
// (the first one of a PID namespace) exits with 128 + the signal's number instead.
void holdEndingSignals();
void endRunIfSignalled();
// Whether an ending signal waits, so that the files written so far must be named before the run
// ends by it.
bool endingSignalWaits();
void releaseEndingSignals();
