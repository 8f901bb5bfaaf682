// Which file a path names, as the system identifies it: a link, or another name of the same
// file, gives the same identity as the file itself.
#pragma once

#include <cstdint>

struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
  return left.volume == right.volume && left.file == right.file;
}

enum class IdentityLookup {
  kFound,    // identity holds the file's identity
  kMissing,  // nothing exists under the path
  kFailed,   // something may exist there, but the system could not tell what
};

// Looks up the identity of the file at path (a byte string, as given on the command line).
IdentityLookup lookUpFileIdentity(const char* path, FileIdentity& identity);
