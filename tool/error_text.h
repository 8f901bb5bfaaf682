// How the program words a failed write in its messages.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

// The system's reason for the last failed write, from errno. Not every library sets errno for
// every failure, so a plain "write error" stands in when it is 0.
inline std::string lastWriteErrorText() {
  if (errno == 0) {
    return "write error";
  }
  return std::error_code(errno, std::generic_category()).message();
}
