// How vornix reads the image, seen by strace from outside: how much and how often, and what
// becomes of a read the system fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"
#include "tests/test_support.h"

namespace {

class ImageRead : public ::testing::Test {
 protected:
  void SetUp() override {
    // NOLINTNEXTLINE(cert-env33-c): asks the shell whether strace is installed.
    const bool haveStrace = std::system("command -v strace >/dev/null") == 0;
    if (testingWindowsBuild() || testingUnderQemu() || !haveStrace) {
      GTEST_SKIP() << "needs strace and a Unix build that it sees itself, not qemu-user";
    }
  }

  // The calls on the image of a run under strace (where LeakSanitizer cannot work).
  std::vector<std::string> tracedRun(const std::vector<uint8_t>& image, const std::string& options,
                                     RunResult& result) {
    const std::string path = quoteForShell(side.file("image.d88"));
    // New files each time: FAT through fusefat cannot cut a file short and write it again.
    std::filesystem::remove(side.file("image.d88"));
    std::filesystem::remove(side.file("trace"));
    writeBinaryFile(side.file("image.d88"), image);
    result =
        runVornix(work.path(), path,
                  "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -o " +
                      quoteForShell(side.file("trace")) + " -P " + path + " " + options);
    std::ifstream in(side.file("trace"));
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) {
      if (line.find("+++") == std::string::npos && line.find("---") == std::string::npos) {
        calls.push_back(line);
      }
    }
    return calls;
  }

  ScratchDir work;
  ScratchDir side;
};

// 64 disks of 84 tracks, eight 1,024-byte sectors a track: the second disk runs past the first
// MiB of the file. Reading takes the two disks processed, each header once and at most 64 KiB
// more, in at most one call per header and two per track assembled (2 disks of 80 tracks).
TEST_F(ImageRead, ReadsOnlyWhatItUses) {
  const std::vector<uint8_t> flat(size_t{84} * 8 * 1024, kFillerByte);
  const std::vector<uint8_t> image = concatenateDisks(
      std::vector<D88DiskBuilder>(64, diskFromFlatData(flat, 8, 3, interleavedOrder(8))));
  RunResult result;
  const std::vector<std::string> calls = tracedRun(image, "", result);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  long long bytes = 0;
  for (const std::string& call : calls) {
    if (call.find(" read(") != std::string::npos || call.find(" pread64(") != std::string::npos) {
      bytes += std::strtoll(call.substr(call.rfind("= ") + 2).c_str(), nullptr, 10);
    }
  }
  EXPECT_GT(bytes, 0);
  EXPECT_LE(bytes, 2 * static_cast<long long>(image.size() / 64) + 64LL * 688 + 65536);
  EXPECT_LE(calls.size(), size_t{64 + 2 * 2 * 80}) << "system calls on the image";
}

// Two disks with a chunk each. Opening reads the two headers and then finds the end of the file
// (reads 1 to 3); each disk is then read in one piece (reads 4 and 5).
TEST_F(ImageRead, AFailedReadIsTriedOnceMoreAndThenReported) {
  std::vector<uint8_t> first(size_t{4} * 16 * 256, kFillerByte);
  std::vector<uint8_t> second = first;
  writeChunk(first, 0, 1, 0x0060, 1);
  writeChunk(second, 2, 1, 0x0060, 2);
  const std::vector<uint8_t> image =
      concatenateDisks({diskFromFlatData(first, 16, 1, interleavedOrder(16)),
                        diskFromFlatData(second, 16, 1, interleavedOrder(16))});
  const std::vector<uint8_t> firstChunk(first.begin(), first.begin() + 1024);
  const std::vector<uint8_t> secondChunk(second.begin() + 2048, second.begin() + 3072);
  const char* eio = "vornix: cannot read the image: Input/output error\n";
  const char* einval = "vornix: cannot read the image: Invalid argument\n";
  const struct {
    const char *what, *injection;
    int status;
    const char* err;
    std::vector<std::vector<uint8_t>> files;
  } cases[] = {
      // Without the second header the list of disks ends after the first.
      {"a header, once", "error=EIO:when=2", 0, "", {firstChunk, secondChunk}},
      {"a header, twice", "error=EIO:when=2..3", 1, eio, {firstChunk}},
      {"a header, EINVAL twice", "error=EINVAL:when=2..3", 1, einval, {firstChunk}},
      // Without its first piece the first disk cannot be selected: the second, though read
      // whole, would put its chunk under the first disk's name, so nothing is written.
      {"data, once", "error=EIO:when=4", 0, "", {firstChunk, secondChunk}},
      {"data, twice", "error=EIO:when=4..5", 1, eio, {}},
      {"data, EINVAL twice", "error=EINVAL:when=4..5", 1, einval, {}},
      // The second disk's piece: the first disk's chunk stays the only one.
      {"the second disk's data, twice", "error=EIO:when=5..6", 1, eio, {firstChunk}},
      // A second disk cut short after opening, with no failure: no chunk of the first is found
      // again under its numbers.
      {"the second disk, cut short", "retval=0:when=5", 0, "", {firstChunk}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunResult result;
    const std::vector<std::string> calls =
        tracedRun(image, std::string("-e trace=pread64 -e inject=pread64:") + c.injection, result);
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const std::string& call) {
      return call.find("(INJECTED)") != std::string::npos;
    }));
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.err, c.err);
    std::string listing;
    std::vector<std::vector<uint8_t>> files;
    for (const std::string& name : work.entries()) {
      listing += name + "\n";
      files.push_back(readBinaryFile(work.file(name)));
      std::filesystem::remove(work.file(name));
    }
    EXPECT_EQ(result.out, listing);
    EXPECT_EQ(files, c.files);
  }
}

}  // namespace
