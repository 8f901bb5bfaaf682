// What the program needs from the system beyond standard C++: opening the image only when it is
// a file that can be positioned, telling files apart by the system's own identity, writing a
// chunk file in place after checking the file actually opened, and ending a run by a signal
// only between two chunk files. platform_posix.cpp and platform_windows.cpp each implement all
// of it; the build compiles the one for the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// A link, or another name of the same file, gives the same identity as the file itself.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
  return left.volume == right.volume && left.file == right.file;
}

// Opens path (a byte string, as given on the command line) for binary reading, without waiting
// on it, and keeps it only when it is a file the reader can move about in: a regular file or a
// block device (on Windows, a disk file). nullptr for anything else, and when it cannot be
// opened.
std::FILE* openImageStream(const char* path);

// The identity of the file an open stream reads; false when the system cannot tell.
bool identifyStream(std::FILE* stream, FileIdentity& identity);

// Decides whether an existing file, opened under a chunk's name, may be rewritten: given its
// identity and size, returns true, or false with the reason it must stay as it was.
using RewriteCheck = bool (*)(const FileIdentity& opened, uint64_t size, std::string& reason);

// Writes size bytes to fileName in the current directory, in place: the file is created when
// absent, and rewritten and cut to size bytes when it is a regular file that mayRewrite
// accepts, so it keeps its identity, owner, mode and links. Anything else under the name (a
// symbolic link, a directory, a FIFO, a device, a socket) is left unchanged. A write or close that
// fails empties the file and removes the name; the reason then ends in "; left empty" when the name
// could not be removed. An ending signal that comes meanwhile waits until the file is complete or
// left as it was. existing is set to the identity of a file that stood under the name before: only
// such a file can have other names. On failure, reason says why.
bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      RewriteCheck mayRewrite, std::optional<FileIdentity>& existing,
                      std::string& reason);

// A broken pipe or a file size limit fails the write that met it instead of ending the run.
// The signals that end a run (a hang-up, an interrupt, a termination, a timer) end it at once,
// by that signal, unless a chunk file is open; then they wait until it is complete or left as
// it was. Signals that were ignored when the program started stay ignored.
void prepareSignals();
