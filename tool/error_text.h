// How the program words a failed write in its messages.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

// The system's reason for a failed write, from an errno value. Not every library sets errno for
// every failure, so a plain "write error" stands in for 0.
inline std::string writeErrorText(int error) {
  if (error == 0) {
    return "write error";
  }
  return std::error_code(error, std::generic_category()).message();
}

inline std::string lastWriteErrorText() {
  return writeErrorText(errno);
}
