// Stores a fuzz input as a file, since the reader reads images from files, and keeps the files a
// fuzz target makes for one input from outliving that input.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

// The temporary folder: TMPDIR, or /tmp.
inline std::string fuzzTemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// A file of this process's own under the temporary folder, rewritten for every input.
inline const std::string& fuzzImagePath() {
  static const std::string path =
      fuzzTemporaryFolder() + "/vornix-fuzz-" + std::to_string(getpid()) + ".d88";
  return path;
}

inline void writeFuzzImage(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(fuzzImagePath().c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    std::perror("cannot write the fuzz image");
    std::abort();
  }
}

// The reader keeps the image open, so its name can go as soon as it is opened.
inline void removeFuzzImage() {
  (void)std::remove(fuzzImagePath().c_str());
}

// libFuzzer ends the process at once on Ctrl-C or SIGTERM, in whichever of its threads takes
// the signal, and a hangup ends it by default: either would leave the running input's files
// behind. While an input runs these signals are only noted; each then acts as it would have,
// once the input has removed its files.
namespace fuzz_signals {

inline constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP};
inline struct sigaction before[std::size(kEnding)];
inline std::atomic<int> inputRunning{0};
inline std::atomic<int> pending{0};

inline void actAsBefore(int signalNumber) {
  for (size_t at = 0; at < std::size(kEnding); ++at) {
    if (kEnding[at] == signalNumber) {
      (void)sigaction(signalNumber, &before[at], nullptr);
    }
  }
  (void)raise(signalNumber);
}

extern "C" inline void noteEndingSignal(int signalNumber) {
  if (inputRunning.load() == 0) {
    actAsBefore(signalNumber);
    return;
  }
  pending.store(signalNumber);
  // The input may have ended meanwhile, without seeing it.
  if (inputRunning.load() == 0 && pending.exchange(0) != 0) {
    actAsBefore(signalNumber);
  }
}

}  // namespace fuzz_signals

// Marks one input's run; made first thing in a fuzz target, before any file of the input's own.
class InputRunning {
 public:
  InputRunning() {
    using namespace fuzz_signals;
    // libFuzzer sets its handlers after LLVMFuzzerInitialize; these go over them at the first
    // input.
    static const bool installed = [] {
      struct sigaction note {};
      note.sa_handler = noteEndingSignal;
      (void)sigemptyset(&note.sa_mask);
      for (size_t at = 0; at < std::size(kEnding); ++at) {
        (void)sigaction(kEnding[at], &note, &before[at]);
      }
      return true;
    }();
    (void)installed;
    inputRunning.store(1);
  }
  ~InputRunning() {
    using namespace fuzz_signals;
    inputRunning.store(0);
    const int signalNumber = pending.exchange(0);
    if (signalNumber != 0) {
      actAsBefore(signalNumber);
    }
  }
  InputRunning(const InputRunning&) = delete;
  InputRunning& operator=(const InputRunning&) = delete;
};
