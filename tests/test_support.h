// Helpers shared by the tests: scratch folders, whole-file reads and runs of the built binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

std::vector<uint8_t> readBinaryFile(const std::string& path);

// What the file system under the temporary folder holds beside plain files and folders (FAT and
// exFAT hold none of it); a test that needs more skips there and says why.
struct FolderHolds {
  bool hardLinks = false;
  bool symbolicLinks = false;
  // FIFOs, sockets and devices.
  bool specialFiles = false;
  // Permission bits as they are set.
  bool modes = false;
  // An existing file cut short and written again; FAT through fusefat hangs on it.
  bool rewrites = false;
  // A disk to flush files to: not tmpfs, whose files live in memory.
  bool disk = false;
};
const FolderHolds& temporaryFolderHolds();

struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs vornix with the given shell-quoted arguments in folder workDir, every signal at its default
// action unless shellPrefix says otherwise. shellPrefix is run by bash
// in the same shell first (to set limits, for instance); stdoutTarget replaces the captured
// standard output when not empty. The binary is the built one unless VORNIX_BINARY names
// another; VORNIX_RUNNER, when set, is put before it (an emulator, for instance).
RunResult runVornix(const std::string& workDir, const std::string& arguments,
                    const std::string& shellPrefix = "", const std::string& stdoutTarget = "");

std::string quoteForShell(const std::string& text);

// Whether the binary under test is a Windows build (run through Wine): VORNIX_WINDOWS_BUILD set.
bool testingWindowsBuild();

// Whether the binary under test runs under qemu-user (VORNIX_RUNNER names it).
bool testingUnderQemu();
// Whether it runs under any other program (an emulator, valgrind): VORNIX_RUNNER not empty.
bool testingUnderRunner();
