#include "tests/test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

std::string environmentOr(const char* variable, const std::string& fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string readTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A Windows build writes its text streams with CRLF line ends.
  if (testingWindowsBuild()) {
    std::string unix;
    for (size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
        unix += text[i];
      }
    }
    text = unix;
  }
  return text;
}

}  // namespace

bool testingWindowsBuild() {
  return std::getenv("VORNIX_WINDOWS_BUILD") != nullptr;
}

bool testingUnderRunner() {
  return !environmentOr("VORNIX_RUNNER", "").empty();
}

bool testingUnderQemu() {
  return environmentOr("VORNIX_RUNNER", "").find("qemu-") != std::string::npos;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vornix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder");
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  std::transform(std::filesystem::directory_iterator(path_), std::filesystem::directory_iterator(),
                 std::back_inserter(names), [](const std::filesystem::directory_entry& entry) {
                   return entry.path().filename().string();
                 });
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> readBinaryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

namespace {

// The file-system type of the mount that holds path, from the system's table of mounts.
std::string mountTypeOf(const std::string& path) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device;
  std::string point;
  std::string type;
  std::string found;
  std::string rest;
  size_t longest = 0;
  while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
    if (path.rfind(point, 0) == 0 && point.size() >= longest) {
      longest = point.size();
      found = type;
    }
  }
  return found;
}

}  // namespace

const FolderHolds& temporaryFolderHolds() {
  static const FolderHolds holds = [] {
    namespace fs = std::filesystem;
    const ScratchDir probe;
    const std::string file = probe.file("file");
    std::ofstream(file) << "probe";
    FolderHolds found;
    std::error_code error;
    fs::create_hard_link(file, probe.file("link"), error);
    found.hardLinks = !error && fs::hard_link_count(file) == 2;
    fs::create_symlink(file, probe.file("symlink"), error);
    found.symbolicLinks = !error && fs::is_symlink(probe.file("symlink"));
    found.specialFiles = mkfifo(probe.file("fifo").c_str(), 0600) == 0;
    found.rewrites = mountTypeOf(probe.path()) != "fuse.fusefat";
    found.disk = mountTypeOf(probe.path()) != "tmpfs";
    found.modes = true;
    for (const fs::perms mode : {fs::perms(0640), fs::perms(0604)}) {
      fs::permissions(file, mode, error);
      found.modes = found.modes && !error && fs::status(file).permissions() == mode;
    }
    return found;
  }();
  return holds;
}

std::string quoteForShell(const std::string& text) {
  std::string quoted = "'";
  for (char character : text) {
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  }
  return quoted + "'";
}

RunResult runVornix(const std::string& workDir, const std::string& arguments,
                    const std::string& shellPrefix, const std::string& stdoutTarget) {
  const std::string binary = environmentOr("VORNIX_BINARY", VORNIX_BUILT_BINARY);
  const std::string runner = environmentOr("VORNIX_RUNNER", "");
  // The captured streams live beside the work folder, so they never show up among its files.
  const std::string capture = workDir + ".capture";
  std::filesystem::create_directories(capture);
  const std::string outPath = capture + "/out";
  const std::string errPath = capture + "/err";
  const std::string script = "cd " + quoteForShell(workDir) + " && " + shellPrefix + " " + runner +
                             " " + quoteForShell(binary) + " " + arguments + " >" +
                             (stdoutTarget.empty() ? quoteForShell(outPath) : stdoutTarget) +
                             " 2>" + quoteForShell(errPath) + " </dev/null";
  // Every run starts with the default action for every signal, however the tests themselves
  // were started (a script's background job has SIGINT ignored, for instance).
  // NOLINTNEXTLINE(cert-env33-c): bash sets the limits and redirections a test asks for.
  const int status = std::system(("env --default-signal bash -c " + quoteForShell(script)).c_str());
  RunResult result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readTextFile(outPath);
  result.err = readTextFile(errPath);
  std::error_code error;
  std::filesystem::remove_all(capture, error);
  return result;
}
