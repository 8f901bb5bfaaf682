// Stores a fuzz input as a file, since the reader reads images from files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A file of this process's own under the temporary folder, rewritten for every input.
inline const std::string& fuzzImagePath() {
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr ? folder : "/tmp") + "/vornix-fuzz-" +
           std::to_string(getpid()) + ".d88";
  }();
  return path;
}

inline void writeFuzzImage(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(fuzzImagePath().c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    std::perror("cannot write the fuzz image");
    std::abort();
  }
}
