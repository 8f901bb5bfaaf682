// The program's system-specific calls: which file a path names, as the system identifies it,
// writing an output file in place after checking the file that was actually opened, and the
// signals that must neither end a run early nor leave a half-written file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A link, or another name of the same file, gives the same identity as the file itself.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
  return left.volume == right.volume && left.file == right.file;
}

// Looks up the identity of the file at path (a byte string, as given on the command line);
// false when the system cannot tell it.
bool lookUpFileIdentity(const char* path, FileIdentity& identity);

// The one file that no output may ever touch, and whether its identity is known.
struct ProtectedFile {
  bool known = false;
  FileIdentity identity;
};

// Writes size bytes to fileName in the current directory, in place: the file is created when
// absent, and truncated and rewritten when it is a regular file, so it keeps its identity,
// owner, mode and links. Anything else under the name (a symbolic link, a directory, a FIFO, a
// device) is refused unchanged, and so is the protected file; both are checked on the file that
// was actually opened, before a byte of it is truncated. A write that fails after that removes
// the file. On failure, reason says why.
bool writeFileInPlace(const char* fileName, const uint8_t* data, size_t size,
                      const ProtectedFile& protectedFile, std::string& reason);

// A broken pipe or a file size limit then fails the write that met it instead of ending the
// run; an interrupt or termination removes the file being written and then ends the run by
// that signal. Signals that were ignored when the program started stay ignored.
void prepareSignals();
