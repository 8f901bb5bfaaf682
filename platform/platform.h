// What the program needs from the system beyond standard C++: opening the image only when it is
// a file that can be positioned, telling files apart by the system's own identity, publishing a
// chunk file only once it is whole, and ending a run by a signal only between two chunk files.
// posix.cpp and windows.cpp each implement all of it; the build compiles the one for the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

// A link, or another name of the same file, gives the same identity as the file itself.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
  return left.volume == right.volume && left.file == right.file;
}

// The system's reason for a failure, from an errno value. Not every library sets errno for
// every failed write, so a plain "write error" stands in for 0.
inline std::string errnoText(int error) {
  if (error == 0) {
    return "write error";
  }
  return std::error_code(error, std::generic_category()).message();
}

// Opens path (a byte string, as given on the command line) for binary reading, without waiting
// on it, and keeps it only when it is a file the reader can move about in: a regular file or a
// block device (on Windows, a disk file). nullptr for anything else, and when it cannot be
// opened.
std::FILE* openImageStream(const char* path);

// The identity of the file an open stream reads; false when the system cannot tell.
bool identifyStream(std::FILE* stream, FileIdentity& identity);

// The identity of what descriptor 1 (standard output) or 2 (standard error) writes to; false
// when it is closed or the system cannot tell.
bool identifyStandardStream(int descriptor, FileIdentity& identity);

// Decides whether an existing file, opened under a chunk's name, may be written: given its
// identity and size, returns true, or false with the reason it must stay as it was.
using ExistingFileCheck = bool (*)(const FileIdentity& opened, uint64_t size, std::string& reason);

// Writes size bytes to fileName in the current directory so that, however the run ends, the name
// holds what it held before, the whole chunk, or nothing:
// - a new file is written where no name shows it and gets the name only when complete, and only
//   if the name is still free;
// - an existing regular file that mayWrite accepts and that already holds the bytes is written
//   over in place, never cut;
// - one with other bytes is replaced by a new file when nothing is lost by it (one link, the
//   user's own, no extended attributes, its mode and group carried over), otherwise rewritten
//   in place, keeping its identity, owner, mode and links; a full disk or a size limit then
//   fails before any of its bytes change;
// - anything else under the name (a symbolic link, a directory, a FIFO, a device, a socket) is
//   left unchanged without being opened.
// A write that fails in mid-file empties the file and removes the name when it still names that
// file; the reason then ends in "; left empty" when the name could not be removed. written is
// set to the identity of the file that holds the chunk. On failure, reason says why.
bool writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                    ExistingFileCheck mayWrite, FileIdentity& written, std::string& reason);

// Makes sure descriptors 0 to 2 are open, so that no file the run opens can take the place of
// standard output or standard error. A broken pipe or a file size limit fails the write that met
// it instead of ending the run. Every catchable signal whose default action ends the process
// ends the run at once, by that signal, unless signals are held; signals that were ignored when
// the program started stay ignored.
void prepareProcess();

// While held, an ending signal waits: endRunIfSignalled and releaseEndingSignals end the run by
// it, after writing out what standard output still holds.
void holdEndingSignals();
void endRunIfSignalled();
void releaseEndingSignals();
