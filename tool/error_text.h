// How the program reports a failure.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

// Reports on standard error that the program cannot do what (as in "cannot write ZK001"), and
// why. Names already printed go out first, so that both streams keep their order where they
// meet; a failing standard error leaves nowhere to report anything.
inline void reportFailure(const std::string& what, const std::string& reason) {
  int outputError = 0;
  (void)flushStandardOutput(outputError);
  (void)std::fprintf(stderr, "vornix: cannot %s: %s\n", what.c_str(), reason.c_str());
}
