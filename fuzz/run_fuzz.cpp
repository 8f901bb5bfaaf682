// Runs the whole extraction, assembly and chunk scan of the first two disks, on an arbitrary
// image, in a private folder, and checks the files it writes.
#include <dirent.h>
#include <unistd.h>

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

void require(bool holds, const std::string& what) {
  if (!holds) {
    (void)std::fprintf(stderr, "broken: %s\n", what.c_str());
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Chunk files go to a private folder; the names printed go nowhere.
  char folder[] = "/tmp/vornix-run-fuzz-XXXXXX";
  require(mkdtemp(folder) != nullptr && chdir(folder) == 0, "a private folder");
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "standard output silenced");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const std::string& name : folderEntries()) {
    require(std::remove(name.c_str()) == 0, "the previous run's " + name + " removed");
  }
  writeFuzzImage(data, size);
  std::memset(imageBuffer, 0, sizeof imageBuffer);

  D88Reader reader;
  require(reader.open(fuzzImagePath().c_str()), "open");
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
  return 0;
}
