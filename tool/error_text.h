// How the program words a failed read or write in its messages.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

// The system's reason for a failure, from an errno value. Not every library sets errno for
// every failed write, so a plain "write error" stands in for 0.
inline std::string errnoText(int error) {
  if (error == 0) {
    return "write error";
  }
  return std::error_code(error, std::generic_category()).message();
}
