// How the program words and reports a failed read or write.
#pragma once

#include <cerrno>
#include <cstdio>
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

// Reports on standard error that the program cannot do what (as in "cannot write ZK001"), and
// why. Names already printed go out first, so that both streams keep their order where they
// meet; a failing standard error leaves nowhere to report anything.
inline void reportFailure(const std::string& what, const std::string& reason) {
  (void)std::fflush(stdout);
  (void)std::fprintf(stderr, "vornix: cannot %s: %s\n", what.c_str(), reason.c_str());
}
