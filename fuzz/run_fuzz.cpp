// Runs the whole extraction, assembly and chunk scan of the first two disks, on an arbitrary
// image, in a private folder of each input's own, and checks the files it writes.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "d88/d88_reader.h"
#include "fuzz/fuzz_input_file.h"
#include "tool/chunk_file.h"
#include "tool/chunk_scanner.h"
#include "tool/image_buffer.h"
#include "tool/track_assembly.h"

namespace {

uint8_t imageBuffer[kImageBufferSize];

// The folder the fuzzer was started in, which the paths it was given are relative to.
int startFolder = -1;
// The private folder of the input being run, empty between inputs.
std::string inputFolder;

// A broken promise keeps the input's folder, named in the report, for a look at its files.
void require(bool holds, const std::string& what) {
  if (!holds) {
    (void)std::fprintf(stderr, "broken: %s\n", what.c_str());
    if (!inputFolder.empty()) {
      (void)std::fprintf(stderr, "the files written are in %s\n", inputFolder.c_str());
    }
    (void)fchdir(startFolder);
    std::abort();
  }
}

std::vector<std::string> folderEntries() {
  std::vector<std::string> names;
  DIR* folder = opendir(".");
  require(folder != nullptr, "the private folder can be listed");
  while (const dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(folder);
  return names;
}

long fileSize(const std::string& name) {
  std::FILE* file = std::fopen(name.c_str(), "rb");
  require(file != nullptr, name + " exists");
  require(std::fseek(file, 0, SEEK_END) == 0, name + " can be measured");
  const long size = std::ftell(file);
  (void)std::fclose(file);
  return size;
}

}  // namespace

// libFuzzer writes a crash file while the input runs in its private folder: a relative artifact
// prefix, its default "./" included, is made absolute so that crash files land in the folder
// the fuzzer was started in, as with any other fuzz target.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  startFolder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  char* started = getcwd(nullptr, 0);
  require(startFolder >= 0 && started != nullptr, "the folder the fuzzer was started in");
  const std::string start = std::string(started) + "/";
  std::free(started);
  static std::vector<std::string> arguments;
  bool artifactPathGiven = false;
  for (int at = 0; at < *argc; ++at) {
    std::string argument = (*argv)[at];
    for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
      const size_t length = std::strlen(flag);
      if (argument.compare(0, length, flag) == 0) {
        artifactPathGiven = true;
        if (argument.size() == length || argument[length] != '/') {
          argument.insert(length, start);
        }
      }
    }
    arguments.push_back(argument);
  }
  if (!artifactPathGiven) {
    arguments.push_back("-artifact_prefix=" + start);
  }
  static std::vector<char*> pointers;
  pointers.resize(arguments.size() + 1, nullptr);
  std::transform(arguments.begin(), arguments.end(), pointers.begin(),
                 [](std::string& argument) { return argument.data(); });
  *argc = static_cast<int>(arguments.size());
  *argv = pointers.data();
  // The names printed go nowhere.
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "standard output silenced");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputRunning running;
  writeFuzzImage(data, size);
  D88Reader reader;
  const bool opened = reader.open(fuzzImagePath().c_str());
  removeFuzzImage();
  require(opened, "open");
  inputFolder = fuzzTemporaryFolder() + "/vornix-run-fuzz-XXXXXX";
  require(mkdtemp(inputFolder.data()) != nullptr && chdir(inputFolder.c_str()) == 0,
          "a private folder");
  std::memset(imageBuffer, 0, sizeof imageBuffer);

  FileIdentity image;
  require(reader.getFileIdentity(image), "the image's identity");
  ProtectedFiles protectedFiles;
  protectedFiles.image = &image;
  beginChunkFiles(protectedFiles);
  int32_t fileCounter = 0;
  for (int32_t disk = 0; disk < reader.getDiskCount() && disk < 2; ++disk) {
    reader.selectDisk(disk);
    assembleDisk(reader, imageBuffer);
    require(scanChunks(imageBuffer, fileCounter), "every chunk file written");
  }

  const std::vector<std::string> names = folderEntries();
  require(names.size() == static_cast<size_t>(fileCounter), "one file per number");
  for (int32_t number = 0; number < fileCounter; ++number) {
    char name[kChunkFileNameCapacity];
    formatChunkFileName(name, number);
    const long bytes = fileSize(name);
    require(bytes >= kBlockSize && bytes <= static_cast<long>(kMaxChunkBlocks) * kBlockSize &&
                bytes % kBlockSize == 0,
            std::string(name) + " is 1 to 12 whole blocks");
  }

  for (const std::string& name : names) {
    require(std::remove(name.c_str()) == 0, name + " removed");
  }
  require(fchdir(startFolder) == 0 && rmdir(inputFolder.c_str()) == 0,
          "the private folder removed");
  inputFolder.clear();
  return 0;
}
