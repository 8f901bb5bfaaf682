// End-to-end tests: the built vornix run on images the tests build, its standard output,
// standard error, exit status and every file it writes compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/d88_image_builder.h"
#include "tests/test_support.h"
#include "tool/image_buffer.h"

namespace {

constexpr const char* kUsage = "Usage: vornix [d88file]\n";
constexpr const char* kOpenFailure =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1\n";

struct Chunk {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> blocksOf(const std::vector<uint8_t>& flat, int32_t first, int32_t count) {
  const auto from = flat.begin() + static_cast<std::ptrdiff_t>(first) * kBlockSize;
  return std::vector<uint8_t>(from, from + static_cast<std::ptrdiff_t>(count) * kBlockSize);
}

// The names, one a line, of the chunks in order.
std::string listing(const std::vector<Chunk>& chunks) {
  std::string text;
  for (const Chunk& chunk : chunks) {
    text += chunk.name + "\n";
  }
  return text;
}

// The lines of standard error, each checked to start with its prefix; a prefix ending in ": "
// is followed by the system's reason, whose wording differs between systems.
void expectReports(const std::string& err, const std::vector<std::string>& prefixes) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < err.size();) {
    const size_t end = err.find('\n', start);
    lines.push_back(err.substr(start, end - start));
    start = end == std::string::npos ? err.size() : end + 1;
  }
  EXPECT_TRUE(err.empty() || err.back() == '\n') << err;
  ASSERT_EQ(lines.size(), prefixes.size()) << err;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& prefix = prefixes[i];
    if (prefix.size() >= 2 && prefix.compare(prefix.size() - 2, 2, ": ") == 0) {
      EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << err;
      EXPECT_GT(lines[i].size(), prefix.size()) << err;
    } else {
      EXPECT_EQ(lines[i], prefix) << err;
    }
  }
}

// Root may write and remove any file; a run started with this prefix sees the permissions an
// ordinary user sees.
std::string asOrdinaryUser() {
  return geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search "
                          "--inh-caps=-dac_override,-dac_read_search "
                        : "";
}

class VornixRun : public ::testing::Test {
 protected:
  // Runs vornix on the image, stored as image.d88 beside the work folder.
  RunResult runOn(const std::vector<uint8_t>& image, const std::string& shellPrefix = "",
                  const std::string& stdoutTarget = "") {
    // A new file when it changes: FAT through fusefat cannot write an existing file over.
    if (!std::filesystem::exists(imagePath()) || readBinaryFile(imagePath()) != image) {
      std::filesystem::remove(imagePath());
      writeBinaryFile(imagePath(), image);
    }
    return runVornix(work.path(), quoteForShell(imagePath()), shellPrefix, stdoutTarget);
  }

  std::string imagePath() const { return side.file("image.d88"); }

  // The work folder holds exactly these files, with exactly these bytes.
  void expectFiles(const std::vector<Chunk>& chunks) {
    std::vector<std::string> names;
    for (const Chunk& chunk : chunks) {
      names.push_back(chunk.name);
      EXPECT_EQ(readBinaryFile(work.file(chunk.name)), chunk.bytes) << chunk.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(work.entries(), names);
  }

  void expectCleanRun(const RunResult& result, const std::vector<Chunk>& chunks) {
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, listing(chunks));
    expectFiles(chunks);
  }

  ScratchDir work;
  ScratchDir side;
};

TEST_F(VornixRun, WrongArgumentCountPrintsUsage) {
  for (const char* arguments : {"", "a.d88 b.d88", "a b c"}) {
    const RunResult result = runVornix(work.path(), arguments);
    EXPECT_EQ(result.exitStatus, 1) << arguments;
    EXPECT_EQ(result.err, kUsage) << arguments;
    EXPECT_EQ(result.out, "") << arguments;
    expectFiles({});
  }
}

TEST_F(VornixRun, UnopenableImagePrintsTheShiftJisMessage) {
  writeBinaryFile(imagePath(), D88DiskBuilder().build());
  std::vector<std::string> paths = {quoteForShell(side.file("missing.d88")),
                                    quoteForShell(side.path())};
  // A readable image given through a pipe, and a FIFO with no writer, in which the reader
  // cannot move about; opening the FIFO must not wait for a writer either.
  if (!testingWindowsBuild()) {
    paths.push_back("<(cat " + quoteForShell(imagePath()) + ")");
  }
  if (!testingWindowsBuild() && temporaryFolderHolds().specialFiles) {
    ASSERT_EQ(mkfifo(side.file("fifo.d88").c_str(), 0666), 0);
    paths.push_back(quoteForShell(side.file("fifo.d88")));
  }
  for (const std::string& path : paths) {
    const RunResult result = runVornix(work.path(), path, "timeout 60");
    EXPECT_EQ(result.exitStatus, 1) << path;
    EXPECT_EQ(result.err, kOpenFailure) << path;
    EXPECT_EQ(result.out, "") << path;
    expectFiles({});
  }
}

TEST_F(VornixRun, ImagesNamedInAnyScriptOpen) {
  std::vector<uint8_t> flat(size_t{16} * 256, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  // Japanese; Korean, outside the Japanese code page; an emoji, outside every legacy one.
  for (const std::string name : {"ディスク.d88", "디스크.d88", "🎮.d88"}) {
    SCOPED_TRACE(name);
    if (std::ofstream(side.file(name)).fail()) {
      std::printf("Skipped %s, which the file system cannot hold as a name\n", name.c_str());
      continue;
    }
    writeBinaryFile(side.file(name), image);
    expectCleanRun(runVornix(work.path(), quoteForShell(side.file(name))),
                   {{"ZK000", blocksOf(flat, 0, 1)}});
    EXPECT_EQ(runVornix(work.path(), quoteForShell(side.file("no-" + name))).err, kOpenFailure);
  }
}

TEST_F(VornixRun, ImagesWithNothingToExtract) {
  std::vector<uint8_t> allFiller(size_t{80} * 16 * 256, kFillerByte);
  const struct {
    const char* what;
    std::vector<uint8_t> image;
  } cases[] = {
      {"empty file", {}},
      {"shorter than a disk header", std::vector<uint8_t>(687, 0)},
      {"disk size 0",
       D88DiskBuilder().setDiskSize(0).addTrack(0, makeTrack(0, {1}, 1, {}, 0)).build()},
      {"no chunk", diskFromFlatData(allFiller, 16, 1, interleavedOrder(16)).build()},
  };
  for (const auto& c : cases) {
    const RunResult result = runOn(c.image);
    SCOPED_TRACE(c.what);
    expectCleanRun(result, {});
  }
}

TEST_F(VornixRun, FindsChunksOfEveryExtentInInterleavedSectors) {
  // 80 tracks of eight 1,024-byte sectors: the scan reaches its last block, 389, and beyond.
  std::vector<uint8_t> flat(size_t{80} * 8 * 1024, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  writeChunk(flat, 2, 4, 0x0C00, 2);
  writeChunk(flat, 10, 5, 0x0800, 3);
  writeChunk(flat, 20, 3, 0x0100, 4);  // overlaps the next one
  writeChunk(flat, 21, 2, 0x0100, 5);
  writeChunk(flat, 30, 2, 0x3000, 6);  // last offset too far: no chunk
  writeChunk(flat, 40, 1, 0x0060, 7);
  flat[size_t{40} * kBlockSize] = 0x08;  // first offset not a multiple of 16
  writeChunk(flat, 45, 1, 0x0060, 8);
  flat[45 * kBlockSize + 1] = 0x10;  // first offset 0x1000
  writeChunk(flat, 50, 1, 0x0060, 9);
  flat[50 * kBlockSize + 2] = 0x10;  // equal neighbours
  writeChunk(flat, 389, 12, 0x2C00, 10);
  writeChunk(flat, 390, 1, 0x0060, 11);  // past the scanned blocks
  const RunResult result = runOn(diskFromFlatData(flat, 8, 3, interleavedOrder(8)).build());
  expectCleanRun(result, {{"ZK000", blocksOf(flat, 0, 1)},
                          {"ZK001", blocksOf(flat, 2, 4)},
                          {"ZK002", blocksOf(flat, 10, 5)},
                          {"ZK003", blocksOf(flat, 20, 3)},
                          {"ZK004", blocksOf(flat, 21, 2)},
                          {"ZK005", blocksOf(flat, 389, 12)}});
}

TEST_F(VornixRun, SecondDiskContinuesNumberingAndFindsLeftoverChunks) {
  std::vector<uint8_t> first(size_t{80} * 16 * 256, kFillerByte);
  writeChunk(first, 5, 2, 0x0400, 1);
  writeChunk(first, 200, 3, 0x0800, 2);
  std::vector<uint8_t> second(size_t{20} * 8 * 1024, kFillerByte);
  writeChunk(second, 9, 1, 0x0060, 3);
  std::vector<uint8_t> third(size_t{20} * 8 * 1024, kFillerByte);
  writeChunk(third, 1, 1, 0x0060, 4);
  const RunResult result =
      runOn(concatenateDisks({diskFromFlatData(first, 16, 1, interleavedOrder(16)),
                              diskFromFlatData(second, 8, 3, interleavedOrder(8)),
                              diskFromFlatData(third, 8, 3, interleavedOrder(8))}));
  // Disk 1 assembles 160 blocks; block 200 still holds disk 0's chunk. Disk 2 is never read.
  expectCleanRun(result, {{"ZK000", blocksOf(first, 5, 2)},
                          {"ZK001", blocksOf(first, 200, 3)},
                          {"ZK002", blocksOf(second, 9, 1)},
                          {"ZK003", blocksOf(first, 200, 3)}});
}

TEST_F(VornixRun, AbsentTracksAndLongTracksShiftTheDataThatFollows) {
  // Track 0: 16 sectors of 256 bytes (4 blocks) with a chunk at block 1.
  std::vector<uint8_t> flat(size_t{16} * 256, kFillerByte);
  writeChunk(flat, 1, 2, 0x0400, 1);
  // Track 1 is absent. Track 2 has 26 sectors of 128 bytes stored 1, 14, 2, 15, ...: its first
  // 16 records are R 1..8 and R 14..21, which must land right after track 0 as blocks 4 and 5.
  std::vector<uint8_t> wanted(size_t{2} * kBlockSize, kFillerByte);
  writeChunk(wanted, 0, 2, 0x0400, 2);
  std::vector<uint8_t> track2(size_t{26} * 128, kFillerByte);
  std::copy(wanted.begin(), wanted.begin() + kBlockSize, track2.begin());
  std::copy(wanted.begin() + kBlockSize, wanted.end(), track2.begin() + std::ptrdiff_t{13} * 128);
  const D88DiskBuilder disk = D88DiskBuilder()
                                  .addTrack(0, makeTrack(0, interleavedOrder(16), 1, flat, 0))
                                  .addTrack(2, makeTrack(2, interleavedOrder(26), 0, track2, 0));
  const RunResult result = runOn(disk.build());
  expectCleanRun(result, {{"ZK000", blocksOf(flat, 1, 2)}, {"ZK001", wanted}});
}

TEST_F(VornixRun, TheDemoImageShowsWhatTheReadmeSays) {
  const RunResult result = runVornix(work.path(), quoteForShell(VORNIX_DEMO_IMAGE));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "ZK000\nZK001\nZK002\nZK003\nZK004\nZK005\nZK006\nZK007\n");
  const size_t blocks[] = {1, 4, 5, 3, 2, 2, 2, 2};
  for (size_t number = 0; number < 8; ++number) {
    EXPECT_EQ(readBinaryFile(work.file("ZK00" + std::to_string(number))).size(),
              blocks[number] * kBlockSize);
  }
  // The chunk in ZK004 starts inside the one in ZK003 and ends with it.
  const std::vector<uint8_t> outer = readBinaryFile(work.file("ZK003"));
  EXPECT_EQ(std::vector<uint8_t>(outer.begin() + kBlockSize, outer.end()),
            readBinaryFile(work.file("ZK004")));
  // The second disk finds the first disk's chunk at block 200 again.
  EXPECT_EQ(readBinaryFile(work.file("ZK007")), readBinaryFile(work.file("ZK005")));
}

TEST_F(VornixRun, ReplacesAnExistingChunkFile) {
  std::vector<uint8_t> flat(size_t{16} * 256, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  writeBinaryFile(work.file("ZK000"), std::vector<uint8_t>(5000, 0x33));
  const RunResult result = runOn(diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build());
  expectCleanRun(result, {{"ZK000", blocksOf(flat, 0, 1)}});
}

// An image with chunks at blocks 0 (1 block), 2 (4 blocks) and 8 (1 block).
std::vector<uint8_t> threeChunkFlat() {
  std::vector<uint8_t> flat(size_t{16} * 256 * 4, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  writeChunk(flat, 2, 4, 0x0C00, 2);
  writeChunk(flat, 8, 1, 0x0060, 3);
  return flat;
}

TEST_F(VornixRun, ChunkFilesAreWrittenInPlaceAndAnythingElseUnderTheirNamesIsLeftAlone) {
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  const std::vector<uint8_t> older(3000, 0x33);
  const std::string outside = side.file("outside.bin");
  namespace fs = std::filesystem;
  const bool windows = testingWindowsBuild();
  const FolderHolds& holds = temporaryFolderHolds();
  // FAT and exFAT hold no links, special files or modes; Windows has no special files either.
  const bool noSpecialFiles = windows || !holds.specialFiles;
  int fifoReader = -1;
  constexpr gid_t kNobody = 65534;
  gid_t groupBefore = 0;
  mode_t modeBefore = 0;
  ino_t inodeBefore = 0;
  const auto fileStatus = [](const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status;
  };
  // Root can run vornix as nobody where nobody reaches the folder it was built in.
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const bool nobodyRuns =
      geteuid() == 0 && runVornix(work.path(), "", asNobody + "timeout 60").err == kUsage;
  writeBinaryFile(outside, older);
  const bool xattrs = setxattr(outside.c_str(), "user.probe", "x", 1, 0) == 0;
  const auto noDump = [](const std::string& path) {
    // NOLINTNEXTLINE(cert-env33-c): sets an inode flag with the system's own command.
    return std::system(("chattr +d " + quoteForShell(path) + " 2>/dev/null").c_str()) == 0;
  };
  const bool inodeFlags = noDump(outside);
  const struct {
    const char* what;
    bool skipped;  // the file system has no such thing; only root makes devices
    std::function<void()> setUp;
    const char* failure;  // the reason reported for ZK001; nullptr when it is written
    std::function<void()> check;
    std::string runAs = asOrdinaryUser();
  } cases[] = {
      // Under Wine the server, which runs with root's rights here, opens files for the program.
      {"a read-only file is kept", windows || !holds.modes,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         fs::permissions(work.file("ZK001"), fs::perms::owner_read | fs::perms::group_read);
       },
       "Permission denied",
       [&] {
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), older);
         EXPECT_EQ(fs::status(work.file("ZK001")).permissions(),
                   fs::perms::owner_read | fs::perms::group_read);
       }},
      // Read access serves only to compare.
      {"a file you may write but not read is written", windows || !holds.modes,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         fs::permissions(work.file("ZK001"), fs::perms::owner_write);
       },
       nullptr,
       [&] {
         fs::permissions(work.file("ZK001"), fs::perms::owner_read, fs::perm_options::add);
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 2, 4));
       }},
      // An inode flag that a new file would lack is kept by writing the file in place.
      {"an older file's inode flags are kept", windows || !inodeFlags,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         ASSERT_TRUE(noDump(work.file("ZK001")));
         inodeBefore = fileStatus(work.file("ZK001")).st_ino;
       },
       nullptr,
       [&] {
         EXPECT_EQ(fileStatus(work.file("ZK001")).st_ino, inodeBefore);
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 2, 4));
       }},
      {"a hard link is written through", !holds.hardLinks,
       [&] {
         writeBinaryFile(outside, older);
         fs::create_hard_link(outside, work.file("ZK001"));
       },
       nullptr,
       [&] {
         EXPECT_EQ(readBinaryFile(outside), blocksOf(flat, 2, 4));
         EXPECT_EQ(fs::hard_link_count(outside), 2u);
       }},
      {"a symbolic link is not followed", windows || !holds.symbolicLinks,
       [&] {
         writeBinaryFile(outside, older);
         fs::create_symlink(outside, work.file("ZK001"));
       },
       "it is a symbolic link",
       [&] {
         EXPECT_TRUE(fs::is_symlink(work.file("ZK001")));
         EXPECT_EQ(readBinaryFile(outside), older);
       }},
      // A process reading the FIFO would see a writer come and go.
      {"a FIFO is not opened", noSpecialFiles,
       [&] {
         ASSERT_EQ(mkfifo(work.file("ZK001").c_str(), 0666), 0);
         fifoReader = open(work.file("ZK001").c_str(), O_RDONLY | O_NONBLOCK);
       },
       "it is a FIFO",
       [&] {
         pollfd reader{fifoReader, POLLIN, 0};
         EXPECT_EQ(poll(&reader, 1, 0), 0);
         close(fifoReader);
       }},
      {"a device is kept", noSpecialFiles || geteuid() != 0,
       [&] { ASSERT_EQ(mknod(work.file("ZK001").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); },
       "it is a device", [&] { EXPECT_TRUE(fs::is_character_file(work.file("ZK001"))); }},
      {"a socket is kept", noSpecialFiles,
       [&] {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = work.file("ZK001");
         ASSERT_LT(path.size(), sizeof address.sun_path);
         std::copy(path.begin(), path.end(), address.sun_path);
         const int socketDescriptor = socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_EQ(bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), sizeof address),
                   0);
         close(socketDescriptor);
       },
       "it is a socket", [&] { EXPECT_TRUE(fs::is_socket(work.file("ZK001"))); }},
      {"a directory is kept", false, [&] { fs::create_directories(work.file("ZK001/inside")); },
       "it is a directory", [&] { EXPECT_TRUE(fs::is_directory(work.file("ZK001/inside"))); }},
      {"a second name of a file written earlier keeps that chunk", !holds.hardLinks,
       [&] {
         writeBinaryFile(work.file("ZK000"), older);
         fs::create_hard_link(work.file("ZK000"), work.file("ZK001"));
       },
       "it is ZK000, written earlier in this run",
       [&] { EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 0, 1)); }},
      // Replaced by a new file with every permission bit and the group of the old one.
      {"an older file's mode and group are carried over", windows || !holds.modes,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(work.file("ZK001").c_str(), 0, kNobody), 0);
         }
         // An ordinary user's set-group-ID bit may be dropped; the mode it got is what counts.
         ASSERT_EQ(chmod(work.file("ZK001").c_str(), 02751), 0);
         groupBefore = fileStatus(work.file("ZK001")).st_gid;
         modeBefore = fileStatus(work.file("ZK001")).st_mode & 07777;
         inodeBefore = fileStatus(work.file("ZK001")).st_ino;
       },
       nullptr,
       [&] {
         // Replaced by a new file, not rewritten in place.
         EXPECT_NE(fileStatus(work.file("ZK001")).st_ino, inodeBefore);
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 2, 4));
         EXPECT_EQ(fileStatus(work.file("ZK001")).st_mode & 07777, modeBefore);
         EXPECT_EQ(fileStatus(work.file("ZK001")).st_gid, groupBefore);
       }},
      // Another user's file cannot be replaced without changing its owner: written in place.
      {"a file of root's, for an ordinary user", windows || !holds.modes || !nobodyRuns,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         ASSERT_EQ(chmod(work.file("ZK001").c_str(), 0666), 0);
         fs::permissions(work.path(), fs::perms::all);
         fs::permissions(side.path(), fs::perms(0755));
       },
       nullptr,
       [&] {
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 2, 4));
         EXPECT_EQ(fileStatus(work.file("ZK001")).st_uid, 0u);
       },
       asNobody},
      // A new file would lack the attribute: written in place.
      {"a file with an extended attribute keeps it", windows || !xattrs,
       [&] {
         writeBinaryFile(work.file("ZK001"), older);
         ASSERT_EQ(setxattr(work.file("ZK001").c_str(), "user.vornix", "kept", 4, 0), 0);
       },
       nullptr,
       [&] {
         EXPECT_EQ(readBinaryFile(work.file("ZK001")), blocksOf(flat, 2, 4));
         char value[8] = {};
         EXPECT_EQ(getxattr(work.file("ZK001").c_str(), "user.vornix", value, sizeof value), 4);
         EXPECT_STREQ(value, "kept");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.skipped) {
      continue;
    }
    fs::remove_all(work.path());
    fs::create_directory(work.path());
    fs::remove(outside);
    c.setUp();
    const RunResult result = runOn(image, "umask 0002; " + c.runAs + "timeout 60");
    EXPECT_EQ(result.out, "ZK000\nZK001\nZK002\n");
    if (c.failure == nullptr) {
      EXPECT_EQ(result.exitStatus, 0);
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.exitStatus, 1);
      expectReports(result.err, {std::string("vornix: cannot write ZK001: ") + c.failure});
    }
    EXPECT_EQ(readBinaryFile(work.file("ZK000")), blocksOf(flat, 0, 1));
    EXPECT_EQ(readBinaryFile(work.file("ZK002")), blocksOf(flat, 8, 1));
    EXPECT_EQ(work.entries(), (std::vector<std::string>{"ZK000", "ZK001", "ZK002"}));
    // A new file gets 0666 less the umask.
    if (!windows && holds.modes) {
      EXPECT_EQ(fs::status(work.file("ZK002")).permissions(), static_cast<fs::perms>(0664));
    }
    c.check();
  }
}

// A size limit: a chunk fails before any byte changes, or needs no write.
TEST_F(VornixRun, AShortageFailsAChunkBeforeAnyByteChanges) {
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  const Chunk first{"ZK000", blocksOf(flat, 0, 1)};
  const Chunk third{"ZK002", blocksOf(flat, 8, 1)};
  const Chunk older{"ZK001", std::vector<uint8_t>(3000, 0x33)};
  const std::string keep = side.file("keep");
  namespace fs = std::filesystem;
  // Wine words the reason its own way.
  const std::string tooLarge =
      std::string("vornix: cannot write ZK001: ") + (testingWindowsBuild() ? "" : "File too large");
  const bool windows = testingWindowsBuild();
  const FolderHolds& holds = temporaryFolderHolds();
  const Chunk second{"ZK001", blocksOf(flat, 2, 4)};
  // Files of up to two 1,024-byte units may be written; the 4-block chunk is not. A Windows
  // program cannot ignore the Unix signal that Wine would pass on, so it is ignored for it.
  const std::string sizeLimit = windows ? "trap '' XFSZ; ulimit -f 2; " : "ulimit -f 2; ";
  const auto previousRun = [&] {
    for (const Chunk& chunk : {first, second, third}) {
      writeBinaryFile(work.file(chunk.name), chunk.bytes);
    }
  };
  const struct {
    const char* what;
    bool skipped;
    std::function<void()> setUp;
    std::string limit;
    std::string report;  // empty when the run succeeds
    std::vector<Chunk> files;
  } cases[] = {
      {"a new file", false, [] {}, sizeLimit, tooLarge, {first, third}},
      // Rewritten in place; on Windows, emptied first, so the file goes and the link with it.
      {"a hard link, and through it the other name", !holds.hardLinks,
       [&] {
         writeBinaryFile(keep, older.bytes);
         fs::create_hard_link(keep, work.file("ZK001"));
       },
       sizeLimit, tooLarge,
       testingWindowsBuild() ? std::vector<Chunk>{first, third}
                             : std::vector<Chunk>{first, older, third}},
      // Older files in a folder the user may not change cannot be replaced, only rewritten; a limit
      // of one unit, which ZK000 and ZK002 fill exactly, still lets them be written.
      {"an older file in a folder the user may not change",
       windows || !holds.modes,
       [&] {
         for (const char* name : {"ZK000", "ZK001", "ZK002"}) {
           writeBinaryFile(work.file(name), older.bytes);
         }
         fs::permissions(work.path(),
                         fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                         fs::perm_options::remove);
       },
       "ulimit -f 1; ",
       tooLarge,
       {first, older, third}},
      // Not written at all, so neither the limit nor anything else can touch it or its link.
      {"a file that already holds its chunk, and its other name",
       !holds.hardLinks,
       [&] {
         previousRun();
         fs::create_hard_link(work.file("ZK001"), keep);
       },
       sizeLimit,
       "",
       {first, second, third}},
      // Eight descriptors: room for one file at a time waiting for its name, a replacement too.
      {"few descriptors",
       windows || testingUnderRunner(),
       [&] { writeBinaryFile(work.file("ZK001"), older.bytes); },
       "ulimit -n 8; ",
       "",
       {first, second, third}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.skipped) {
      continue;
    }
    fs::remove(keep);
    c.setUp();
    const RunResult result = runOn(image, c.limit + asOrdinaryUser());
    std::error_code noModes;  // FAT keeps none
    fs::permissions(work.path(), fs::perms::owner_all, fs::perm_options::add, noModes);
    EXPECT_EQ(result.exitStatus, c.report.empty() ? 0 : 1);
    EXPECT_EQ(result.out, "ZK000\nZK001\nZK002\n");
    expectReports(result.err, c.report.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{c.report});
    expectFiles(c.files);
    if (fs::exists(keep)) {
      EXPECT_EQ(readBinaryFile(keep),
                windows && c.report == tooLarge ? std::vector<uint8_t>{} : c.files[1].bytes);
    }
    fs::remove_all(work.path());
    fs::create_directory(work.path());
  }
}

TEST_F(VornixRun, NeverWritesOverTheImageBeingRead) {
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  // The image itself, named ZK000 in the work folder.
  writeBinaryFile(work.file("ZK000"), image);
  RunResult result = runVornix(work.path(), "ZK000");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "ZK000\nZK001\nZK002\n");
  EXPECT_EQ(result.err, "vornix: cannot write ZK000: it is the image being read\n");
  expectFiles({{"ZK000", image}, {"ZK001", blocksOf(flat, 2, 4)}, {"ZK002", blocksOf(flat, 8, 1)}});
  const FolderHolds& holds = temporaryFolderHolds();
  if (!holds.hardLinks || !holds.symbolicLinks) {
    GTEST_SKIP() << "links to the image need a file system with hard and symbolic links";
  }

  std::filesystem::remove(work.file("ZK000"));
  std::filesystem::remove(work.file("ZK002"));
  writeBinaryFile(side.file("image.d88"), image);
  std::filesystem::remove(work.file("ZK001"));
  // A symbolic link named ZK001 and a hard link named ZK002, both to an image elsewhere; ZK000
  // a copy of the image with a second name, as the image itself shows when reached through
  // another mount (an overlay), where its identity differs.
  std::filesystem::create_symlink(side.file("image.d88"), work.file("ZK001"));
  std::filesystem::create_hard_link(side.file("image.d88"), work.file("ZK002"));
  writeBinaryFile(side.file("copy.d88"), image);
  std::filesystem::create_hard_link(side.file("copy.d88"), work.file("ZK000"));
  result = runVornix(work.path(), quoteForShell(side.file("image.d88")));
  EXPECT_EQ(result.exitStatus, 1);
  expectReports(result.err, {"vornix: cannot write ZK000: it may be the image being read",
                             std::string("vornix: cannot write ZK001: ") +
                                 (testingWindowsBuild() ? "" : "it is a symbolic link"),
                             "vornix: cannot write ZK002: it is the image being read"});
  EXPECT_EQ(readBinaryFile(side.file("copy.d88")), image);
  EXPECT_TRUE(std::filesystem::is_symlink(work.file("ZK001")));
  EXPECT_EQ(readBinaryFile(side.file("image.d88")), image);
  EXPECT_EQ(std::filesystem::hard_link_count(side.file("image.d88")), 2u);
}

// An overlay mount shows the files of its upper folder under another device number: the image,
// read through the mount, is still never written from the upper folder, by a chunk of its name
// nor as standard output.
TEST_F(VornixRun, TheImageSeenThroughAnOverlayIsNeverWritten) {
  namespace fs = std::filesystem;
  for (const char* folder : {"lower", "upper", "scratch", "merged"}) {
    fs::create_directory(side.file(folder));
  }
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  writeBinaryFile(side.file("upper/ZK000"), image);
  const std::string merged = quoteForShell(side.file("merged"));
  const std::string mount = "mount -t overlay overlay -o lowerdir=" + side.file("lower") +
                            ",upperdir=" + side.file("upper") + ",workdir=" + side.file("scratch") +
                            " " + merged + " 2>/dev/null";
  // NOLINTNEXTLINE(cert-env33-c): mounts the overlay with the system's own command.
  if (testingWindowsBuild() || geteuid() != 0 || std::system(mount.c_str()) != 0) {
    GTEST_SKIP() << "needs root and an overlay mount over the temporary folder";
  }
  const std::string throughMount = quoteForShell(side.file("merged/ZK000"));
  const RunResult chunks = runVornix(side.file("upper"), throughMount);
  const RunResult names = runVornix(side.file("upper"), throughMount, "",
                                    ">" + quoteForShell(side.file("upper/ZK000")));
  // NOLINTNEXTLINE(cert-env33-c): unmounts it again.
  EXPECT_EQ(std::system(("umount " + merged).c_str()), 0);
  EXPECT_EQ(chunks.exitStatus, 1);
  EXPECT_EQ(chunks.err, "vornix: cannot write ZK000: it may be the image being read\n");
  EXPECT_EQ(readBinaryFile(side.file("upper/ZK001")), blocksOf(flat, 2, 4));
  EXPECT_EQ(names.exitStatus, 1);
  EXPECT_EQ(names.err, "vornix: cannot write to standard output: it may be the image being read\n");
  EXPECT_EQ(readBinaryFile(side.file("upper/ZK000")), image);
}

// Standard output or error on the image: nothing is written, to it or anywhere. On a file that a
// chunk would go to: that chunk is refused.
TEST_F(VornixRun, StandardStreamsAreNeverWrittenOverByChunksNorTheImageByNames) {
  if (testingWindowsBuild()) {
    GTEST_SKIP() << "Wine cannot tell the file behind a standard handle it got from Linux";
  }
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  const std::string imageArgument = quoteForShell(imagePath());
  const std::string errorsTo = "sh -c 'exec 2>>\"$0\"; exec \"$@\"' ";
  const std::string names = "ZK000\nZK001\nZK002\n";
  const std::string outputRefused = "vornix: cannot write ZK001: it is standard output\n";
  const std::string errorRefused = "vornix: cannot write ZK001: it is standard error\n";
  const Chunk first{"ZK000", blocksOf(flat, 0, 1)};
  const Chunk third{"ZK002", blocksOf(flat, 8, 1)};
  const auto text = [](const std::string& bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  };
  const struct {
    const char* what;
    std::string prefix;
    std::string stdoutTarget;
    std::string out;
    std::string err;
    std::vector<Chunk> files;
  } cases[] = {
      {"output opened for reading and writing",
       "exec 3<>" + imageArgument + ";",
       "&3",
       "",
       "vornix: cannot write to standard output: it is the image being read\n",
       {}},
      {"output appended",
       "",
       ">" + imageArgument,
       "",
       "vornix: cannot write to standard output: it is the image being read\n",
       {}},
      {"error appended", errorsTo + imageArgument, "", "", "", {}},
      {"output to ZK001", "", "ZK001", "", outputRefused, {first, {"ZK001", text(names)}, third}},
      {"error to ZK001",
       errorsTo + "ZK001",
       "",
       names,
       "",
       {first, {"ZK001", text(errorRefused)}, third}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(work.path());
    std::filesystem::create_directory(work.path());
    const RunResult result = runOn(image, c.prefix, c.stdoutTarget);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(readBinaryFile(imagePath()), image);
    expectFiles(c.files);
  }
}

// A loop device holds whole 512-byte sectors; an image cut short on one reads as the same bytes
// in a file do.
TEST_F(VornixRun, AnImageOnABlockDeviceThatEndsEarlyIsADamagedImage) {
  // NOLINTNEXTLINE(cert-env33-c): asks the shell whether losetup is installed.
  const bool haveLosetup = std::system("command -v losetup >/dev/null") == 0;
  // Only root may attach a loop device.
  if (testingWindowsBuild() || geteuid() != 0 || !haveLosetup) {
    GTEST_SKIP() << "needs root and losetup";
  }
  std::vector<uint8_t> flat(size_t{8} * 16 * 256, kFillerByte);
  writeChunk(flat, 0, 1, 0x0060, 1);
  writeChunk(flat, 20, 1, 0x0060, 2);
  std::vector<uint8_t> bytes = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  bytes.resize(bytes.size() / 2 / 512 * 512);
  writeBinaryFile(imagePath(), bytes);
  const std::string deviceFile = side.file("device");
  const std::string attach = "losetup -f --show " + quoteForShell(imagePath()) + " >" + deviceFile;
  // NOLINTNEXTLINE(cert-env33-c): attaches the image to a free loop device.
  if (std::system(attach.c_str()) != 0) {
    GTEST_SKIP() << "no loop device can be attached here";
  }
  const std::vector<uint8_t> name = readBinaryFile(deviceFile);
  const std::string device(name.begin(), std::find(name.begin(), name.end(), '\n'));
  const RunResult fromDevice = runVornix(work.path(), device);
  // NOLINTNEXTLINE(cert-env33-c): detaches it again.
  EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0);
  expectCleanRun(fromDevice, {{"ZK000", blocksOf(flat, 0, 1)}});
}

TEST_F(VornixRun, FailingStandardOutputIsReportedAndEveryFileStillWritten) {
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  // A full device, and a pipe whose reading end is closed before the run starts.
  const std::string fifo = quoteForShell(side.file("pipe"));
  const struct {
    const char* what;
    std::string shellPrefix;
    const char* target;
  } cases[] = {
      {"full", "", "/dev/full"},
      {"closed pipe",
       "mkfifo " + fifo + " && exec 5<>" + fifo + " 6>" + fifo + " 5<&- && rm " + fifo + ";", "&6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.shellPrefix.find("mkfifo") != std::string::npos && !temporaryFolderHolds().specialFiles) {
      continue;
    }
    const RunResult result = runOn(image, c.shellPrefix, c.target);
    EXPECT_EQ(result.exitStatus, 1);
    expectReports(result.err, {"vornix: cannot write to standard output: "});
    expectFiles({{"ZK000", blocksOf(flat, 0, 1)},
                 {"ZK001", blocksOf(flat, 2, 4)},
                 {"ZK002", blocksOf(flat, 8, 1)}});
  }
}

// Standard output a pipe that is full when the names are written out: a signal then waits for
// them to go out once the pipe drains; a second signal ends the run at once, without them.
TEST_F(VornixRun, NamesWaitForAFullPipeThroughOneSignal) {
  if (testingWindowsBuild() || testingUnderRunner() || !temporaryFolderHolds().specialFiles) {
    GTEST_SKIP() << "needs a FIFO and vornix itself, not an emulator, to signal";
  }
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  const std::string names = side.file("names");
  for (const int signals : {1, 2}) {
    SCOPED_TRACE(signals);
    std::filesystem::remove_all(work.path());
    std::filesystem::create_directory(work.path());
    // The pipe is filled with 64 KiB, its size; the run is signalled once it waits on it, every
    // file written, and the names follow the 64 KiB once they are drained.
    const std::string kill = "pkill -TERM -P $$ -x vornix; sleep 0.3; ";
    const std::string prefix =
        "mkfifo pipe; exec 7<>pipe; rm pipe; head -c 65536 /dev/zero >&7; (for _ in $(seq 1000); "
        "do p=$(pgrep -P $$ -x vornix) && grep -q pipe_write /proc/$p/wchan && break; sleep 0.01; "
        "done; " +
        kill + (signals == 2 ? kill : "") +
        "head -c 65536 <&7 >/dev/null; timeout 2 head -c 18 <&7 >" + quoteForShell(names) +
        "; touch " + quoteForShell(names + ".done") + ") & ";
    std::filesystem::remove(names + ".done");
    const RunResult result = runOn(image, prefix, "&7");
    for (int wait = 0; wait < 1000 && !std::filesystem::exists(names + ".done"); ++wait) {
      usleep(10000);
    }
    EXPECT_EQ(result.exitStatus, 128 + SIGTERM);
    const std::vector<uint8_t> out = readBinaryFile(names);
    EXPECT_EQ(std::string(out.begin(), out.end()), signals == 1 ? "ZK000\nZK001\nZK002\n" : "");
    expectFiles({{"ZK000", blocksOf(flat, 0, 1)},
                 {"ZK001", blocksOf(flat, 2, 4)},
                 {"ZK002", blocksOf(flat, 8, 1)}});
  }
}

// A loop device the test attached, detached again however the test ends.
struct LoopDevice {
  std::string path;
  ~LoopDevice() {
    // NOLINTNEXTLINE(cert-env33-c): detaches it with the system's own command.
    EXPECT_TRUE(path.empty() || std::system(("losetup -d " + path).c_str()) == 0);
  }
};

// Every injection in a strace command line took place: a call made to fail shows as INJECTED,
// a delayed one as DELAYED, a signal as sent by the kernel, a kill by the end it makes.
void expectInjected(const std::string& command, const std::string& trace) {
  for (size_t at = command.find("inject="); at != std::string::npos;
       at = command.find("inject=", at + 1)) {
    const size_t colon = command.find(':', at);
    const std::string kind = command.substr(colon + 1, command.find('=', colon) - colon - 1);
    const std::string mark = kind == "error" || kind == "retval" ? "(INJECTED)"
                             : kind == "signal"                  ? "SI_KERNEL"
                                                                 : "(DELAYED)";
    bool seen = kind == "signal" && trace.find("killed by SIGKILL") != std::string::npos;
    std::istringstream lines(trace);
    for (std::string line; !seen && std::getline(lines, line);) {
      std::istringstream calls(command.substr(at + 7, colon - at - 7));
      // A class of calls (%fstat) counts as any call.
      for (std::string call; !seen && std::getline(calls, call, ',');) {
        call.erase(0, call.find_first_not_of('?'));
        seen = line.find(mark) != std::string::npos &&
               (kind == "signal" || call[0] == '%' ||
                line.find(" " + call + "(") != std::string::npos);
      }
    }
    EXPECT_TRUE(seen) << command.substr(at, command.find(' ', at) - at) << " did not happen";
  }
}

// Signals, kills, failing calls and other processes, made to act at a chosen system call of the
// run by strace.
TEST_F(VornixRun, RunsThatTheSystemInterruptsLeaveEveryChunkNameWholeOrAsItWas) {
  // NOLINTNEXTLINE(cert-env33-c): asks the shell whether strace is installed.
  if (testingWindowsBuild() || std::system("command -v strace >/dev/null") != 0) {
    GTEST_SKIP() << "needs strace and a Unix build";
  }
  if (testingUnderQemu()) {
    GTEST_SKIP() << "strace sees qemu-user's system calls, not the emulated program's";
  }
  const std::vector<uint8_t> flat = threeChunkFlat();
  const std::vector<uint8_t> image = diskFromFlatData(flat, 16, 1, interleavedOrder(16)).build();
  const Chunk chunks[] = {{"ZK000", blocksOf(flat, 0, 1)},
                          {"ZK001", blocksOf(flat, 2, 4)},
                          {"ZK002", blocksOf(flat, 8, 1)}};
  const Chunk older{"ZK001", std::vector<uint8_t>(5000, 0x33)};
  // wrapper goes between strace and vornix. LeakSanitizer cannot work under ptrace.
  const std::string trace = side.file("trace");
  const auto traced = [&trace](const std::string& injection, const std::string& wrapper = "") {
    return "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -e "
           "quiet=attach,personality,path-resolution -o " +
           quoteForShell(trace) + " " + injection + " " + wrapper;
  };
  // ZK000 is named at the run's first link; ZK001 at its second, when new, or given a temporary
  // name to replace an older file. ZK001's name is looked at first when it is written.
  const auto atSecondLink = [&](const std::string& action) {
    return traced("-e trace=linkat -e inject=linkat:" + action + ":when=2");
  };
  const auto whileZK001IsWritten = [&](const std::string& action) {
    return traced("-P ZK001 -e trace=newfstatat -e inject=newfstatat:" + action + ":when=1");
  };
  const auto olderSecondFile = [&] { writeBinaryFile(work.file("ZK001"), older.bytes); };
  const auto previousRun = [&] {
    for (const Chunk& chunk : chunks) {
      writeBinaryFile(work.file(chunk.name), chunk.bytes);
    }
  };
  // Runs action in the background as soon as condition holds, if it does within 10 s.
  const auto once = [](const std::string& condition, const std::string& action) {
    return "(for _ in $(seq 1000); do if " + condition + "; then " + action +
           "; break; fi; sleep 0.01; done) >/dev/null 2>&1 & ";
  };
  const auto opened = [](const std::string& pattern) {
    return "find /proc/[0-9]*/fd -lname " + pattern + " 2>/dev/null | grep -q .";
  };
  const std::string readsOfImage = "-P " + quoteForShell(imagePath()) + " -e inject=pread64:";
  const std::string delayedRead = readsOfImage + "delay_enter=1000000:when=1";
  namespace fs = std::filesystem;
  struct Case {
    std::string what;
    std::function<void()> setUp;
    std::string prefix;
    // -1 where the judge below tells from what the names show.
    int status;
    std::string err;
    std::vector<Chunk> files;
    // What the folder's file system needs to hold for the case; temporary names left behind.
    bool needsLinksAndModes = false;
    std::function<void()> check = [] {};
    size_t leftovers = 0;
    // Calls the trace shows, which only the path the case names makes.
    std::vector<std::string> traceShows = {};
    // Cleared where the calls made to fail must not be made at all.
    bool injects = true;
    // The device the image is read through, when not its file.
    std::string device{};
  };
  const FolderHolds& holds = temporaryFolderHolds();

  std::vector<Case> cases;
  // The files written so far are named, then the run ends by the signal; their names are printed.
  for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGXCPU, SIGPROF, SIGPOLL,
                           SIGVTALRM, SIGUSR1, SIGUSR2, SIGPWR, SIGRTMIN, SIGRTMAX - 1}) {
    // cppcheck-suppress useStlAlgorithm ; one row per signal reads plainer than a transform
    cases.push_back({"signal " + std::to_string(number),
                     olderSecondFile,
                     whileZK001IsWritten("signal=" + std::to_string(number)),
                     128 + number,
                     "",
                     {chunks[0], chunks[1]}});
  }
  cases.push_back({"SIGINT ignored at start stays ignored",
                   olderSecondFile,
                   whileZK001IsWritten("signal=INT") + "env --ignore-signal=INT",
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]}});
  // Killed while ZK001 is written: a new file or a replacement has no name yet, and a file that
  // already holds the chunk is not written at all.
  cases.push_back({"SIGKILL in a fresh folder",
                   [] {},
                   atSecondLink("signal=KILL"),
                   128 + SIGKILL,
                   "",
                   {chunks[0]}});
  cases.push_back({"SIGKILL over an older file",
                   olderSecondFile,
                   atSecondLink("signal=KILL"),
                   128 + SIGKILL,
                   "",
                   {chunks[0], older}});
  cases.push_back({"SIGKILL over a previous run's files",
                   previousRun,
                   traced("-P ZK001 -e inject=utimensat:signal=KILL"),
                   128 + SIGKILL,
                   "",
                   {chunks[0], chunks[1], chunks[2]}});
  // Where a file system makes no unnamed files, new ones are written under a temporary name. The
  // run's first open of its folder is the one its names are flushed by.
  cases.push_back({"no unnamed files",
                   [] {},
                   traced("-P . -e inject=openat:error=EOPNOTSUPP:when=2+"),
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]}});
  // Nor, where the user may not change the folder, any temporary file: each chunk fails.
  cases.push_back(
      {"no unnamed files in a folder the user may not change",
       [&] { fs::permissions(work.path(), fs::perms::owner_write, fs::perm_options::remove); },
       traced("-P . -e inject=openat:error=EOPNOTSUPP:when=2", asOrdinaryUser()),
       1,
       "vornix: cannot write ZK000: Permission denied\nvornix: cannot write ZK001: "
       "Permission denied\nvornix: cannot write ZK002: Permission denied\n",
       {},
       true});
  // A re-run cuts nothing, replaces nothing and makes no file: every such call would fail.
  cases.push_back({"a re-run",
                   previousRun,
                   traced("-P ZK000 -P ZK001 -P ZK002 -e "
                          "inject=ftruncate,rename,renameat2,link,linkat,unlink:error=EPERM"),
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]}});
  cases.back().injects = false;
  cases.push_back({"an older file that cannot be checked",
                   olderSecondFile,
                   traced("-P ZK001 -e inject=%fstat,statx:error=EIO"),
                   1,
                   "vornix: cannot write ZK001: Input/output error\n",
                   {chunks[0], older, chunks[2]}});
  // The failure is reported, with the first reason, before the waiting signal ends the run.
  cases.push_back({"SIGINT while a read-only file is opened",
                   [&] {
                     writeBinaryFile(work.file("ZK001"), {});
                     fs::permissions(work.file("ZK001"), fs::perms::owner_read);
                   },
                   traced("-P ZK001 -e inject=openat:signal=INT", asOrdinaryUser()),
                   128 + SIGINT,
                   "vornix: cannot write ZK001: Permission denied\n",
                   {chunks[0], {"ZK001", {}}},
                   true});
  // Rewritten in place as it has another link; the folder keeps the name.
  cases.push_back({"a failing close in a folder the user may not change",
                   [&] {
                     previousRun();
                     writeBinaryFile(work.file("ZK001"), older.bytes);
                     fs::create_hard_link(work.file("ZK001"), side.file("keep"));
                     fs::permissions(work.path(), fs::perms::owner_write, fs::perm_options::remove);
                   },
                   traced("-P ZK001 -e inject=close:error=EIO", asOrdinaryUser()),
                   1,
                   "vornix: cannot write ZK001: Input/output error; left empty\n",
                   {chunks[0], {"ZK001", {}}, chunks[2]},
                   true});
  // Another process gives ZK000 a second name while ZK001 is named: it keeps chunk 0. On a disk,
  // ZK002 is written before ZK000 is named; in memory, after.
  cases.push_back({"a second name made meanwhile",
                   [] {},
                   once("[ -e ZK000 ]", "ln ZK000 ZK002") + atSecondLink("delay_enter=1000000"),
                   1,
                   std::string("vornix: cannot write ZK002: ") +
                       (holds.disk ? "File exists" : "it is ZK000, written earlier in this run") +
                       "\n",
                   {chunks[0], chunks[1], {"ZK002", chunks[0].bytes}},
                   true});
  // Another process puts its file under ZK000 while the run writes ZK000: a failure leaves it.
  cases.push_back(
      {"another process's file under the name of a failed chunk",
       [&] { writeBinaryFile(side.file("other"), older.bytes); },
       once(opened("\"$PWD/*\""), "mv " + quoteForShell(side.file("other")) + " ZK000") +
           traced("-e inject=linkat:error=ENOSPC:delay_enter=1000000:when=1"),
       1,
       "vornix: cannot write ZK000: No space left on device\n",
       {{"ZK000", older.bytes}, chunks[1], chunks[2]}});
  cases.push_back({"a read that fails once succeeds on the second try",
                   [] {},
                   traced(readsOfImage + "error=EIO:when=1"),
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]}});
  // A signal that comes while no chunk file is being written ends the run at once.
  cases.push_back({"SIGTERM while the image is read",
                   [] {},
                   traced(readsOfImage + "signal=TERM:when=1"),
                   128 + SIGTERM,
                   "",
                   {}});
  cases.push_back({"an image whose every read fails",
                   [] {},
                   traced(readsOfImage + "error=EIO:when=1+"),
                   1,
                   "vornix: cannot read the image: Input/output error\n",
                   {}});
  // The image is also ZK000; while its first read is delayed, another file takes its path.
  const std::string other = quoteForShell(side.file("other.d88"));
  cases.push_back(
      {"the image is known by the file it reads, not by its path",
       [&] {
         writeBinaryFile(imagePath(), image);
         fs::create_hard_link(imagePath(), work.file("ZK000"));
         writeBinaryFile(side.file("other.d88"), {});
       },
       once(opened(quoteForShell(imagePath())), "mv " + other + " " + quoteForShell(imagePath())) +
           traced(delayedRead),
       1,
       "vornix: cannot write ZK000: it is the image being read\n",
       {{"ZK000", image}, chunks[1], chunks[2]},
       true});
  // Calls on these names, as the run gives them and, for its descriptors, as the system does.
  const auto on = [&](std::initializer_list<const char*> names) {
    std::string selected;
    for (const char* name : names) {
      selected += std::string("-P ") + name + " -P " + quoteForShell(work.file(name)) + " ";
    }
    return selected;
  };
  // File systems without unnamed files, without rename flags, without hard links (FAT, exFAT,
  // SMB): the first unnamed file refused stands for all of them.
  const std::string withoutRenameFlags =
      "-e inject=openat:error=EOPNOTSUPP:when=2 -e inject=renameat2:error=EINVAL ";
  const std::string withoutLinks = withoutRenameFlags + "-e inject=link:error=EPERM ";
  const std::string names = on({".", "ZK000", "ZK001", "ZK002", ".ZK000.vornix", ".ZK001.vornix"});
  const std::string noRenameFlags = names + withoutRenameFlags;
  const std::string noLinks = names + withoutLinks;
  const auto modeOf = [&](const char* name) {
    return static_cast<int>(fs::status(work.file(name)).permissions());
  };
  const std::string linkZK000 = "link(\".ZK000.vornix\", \"ZK000\") = ";
  const std::string takeZK000 = once("[ -e .ZK000.vornix ]", "echo other >ZK000");
  const std::vector<uint8_t> otherBytes = {'o', 't', 'h', 'e', 'r', '\n'};
  const std::string cannotRemove = "vornix: cannot remove .ZK000.vornix: Permission denied\n";
  // Names given by a link (here the temporary name then cannot be removed, which is reported),
  // an older file replaced after a check of its name; new files get the mode the umask leaves.
  cases.push_back({"without rename flags",
                   olderSecondFile,
                   "umask 022; " + traced(noRenameFlags + "-e inject=unlink:error=EACCES:when=1"),
                   1,
                   cannotRemove,
                   {chunks[0], chunks[1], chunks[2]},
                   true,
                   [&] { EXPECT_EQ(modeOf("ZK002"), 0644); },
                   1,
                   {linkZK000 + "0", "rename(\".ZK001.vornix\", \"ZK001\") = 0"}});
  cases.push_back({"without links",
                   [] {},
                   "umask 077; " + traced(noLinks),
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]},
                   false,
                   [&] { EXPECT_TRUE(modeOf("ZK000") == 0600 || !holds.modes); },
                   0,
                   {"rename(\".ZK000.vornix\", \"ZK000\") = 0"}});
  // Another process saves ZK000 while the run names its own: that file keeps the name, and the
  // run's temporary name, which cannot be removed, is reported.
  cases.push_back({"a link to a name taken meanwhile",
                   [] {},
                   takeZK000 + traced(noRenameFlags + "-e inject=link:delay_enter=1000000:when=1 "
                                                      "-e inject=unlink:error=EACCES:when=1"),
                   1,
                   "vornix: cannot write ZK000: File exists\n" + cannotRemove,
                   {{"ZK000", otherBytes}, chunks[1], chunks[2]},
                   true,
                   [] {},
                   1,
                   {linkZK000 + "-1 EEXIST"}});
  // valgrind looks at the folder itself, which would take the failure meant for the run.
  if (!testingUnderRunner()) {
    cases.push_back(
        {"a checked rename to a name taken meanwhile",
         [] {},
         takeZK000 + traced(on({".", ".ZK000.vornix"}) + withoutLinks +
                            "-e inject=write:delay_enter=1000000:when=1 "
                            "-e inject=?newfstatat:error=EIO:when=1"),
         1,
         "vornix: cannot write ZK000: File exists\nvornix: cannot remove .ZK000.vornix: "
         "Input/output error\n",
         {{"ZK000", otherBytes}, chunks[1], chunks[2]},
         false,
         [] {},
         1});
  }
  // A temporary file that cannot be looked at or written goes again.
  cases.push_back({"a temporary file that cannot be looked at, and one that cannot be written",
                   olderSecondFile,
                   traced(noRenameFlags + "-e inject=statx:error=EIO:when=1 "
                                          "-e inject=write:error=ENOSPC:when=1"),
                   1,
                   "vornix: cannot write ZK000: Input/output error\nvornix: cannot write ZK001: No "
                   "space left on device\n",
                   {older, chunks[2]}});
  // Without an exchange, an older file's name is checked just before the new file takes it.
  cases.push_back(
      {"a checked replacement of a name taken meanwhile",
       [&] {
         olderSecondFile();
         writeBinaryFile(side.file("other"), otherBytes);
       },
       once("[ -e .ZK001.vornix ]", "mv " + quoteForShell(side.file("other")) + " ZK001") +
           traced(noRenameFlags + "-e inject=write:delay_enter=1000000:when=2"),
       1,
       "vornix: cannot write ZK001: another file took its place meanwhile\n",
       {chunks[0], {"ZK001", otherBytes}, chunks[2]},
       false});
  // A file with another name, rewritten in place, ends as its chunk whatever length another
  // process gives it meanwhile; when it cannot be emptied after a failure, it keeps its name.
  const auto linkedOlderFile = [&] {
    olderSecondFile();
    fs::remove(side.file("keep"));
    fs::create_hard_link(work.file("ZK001"), side.file("keep"));
  };
  std::vector<uint8_t> partlyWritten = older.bytes;
  std::copy(chunks[1].bytes.begin(), chunks[1].bytes.end(), partlyWritten.begin());
  cases.push_back({"an in-place rewrite of a file that grows meanwhile",
                   linkedOlderFile,
                   once(opened("\"$PWD/ZK001\""), "truncate -s 9000 ZK001") +
                       traced(on({"ZK001"}) + "-e inject=write:delay_enter=1000000:when=1"),
                   0,
                   "",
                   {chunks[0], chunks[1], chunks[2]},
                   true});
  cases.push_back(
      {"an in-place rewrite whose name another file takes meanwhile",
       [&] {
         linkedOlderFile();
         writeBinaryFile(side.file("other"), otherBytes);
       },
       once(opened("\"$PWD/ZK001\""), "mv " + quoteForShell(side.file("other")) + " ZK001") +
           traced(on({"ZK001"}) + "-e inject=write:delay_enter=1000000:when=1"),
       1,
       "vornix: cannot write ZK001: another file took its place meanwhile\n",
       {chunks[0], {"ZK001", otherBytes}, chunks[2]},
       true});
  cases.push_back({"an in-place rewrite that cannot be emptied",
                   linkedOlderFile,
                   traced(on({"ZK001"}) + "-e inject=ftruncate:error=EIO"),
                   1,
                   "vornix: cannot write ZK001: Input/output error; left incomplete\n",
                   {chunks[0], {"ZK001", partlyWritten}, chunks[2]},
                   true});
  // A failed flush gives no name to a file whose bytes it may have lost, and is never tried again
  // (the system may have dropped them); a file rewritten in place is taken back. FUSE file systems
  // (no links) flush file by file.
  const auto failed = [](const std::string& numbers) {
    std::string lines;
    for (const char number : numbers) {
      lines += std::string("vornix: cannot write ZK00") + number + ": Input/output error\n";
    }
    return lines;
  };
  cases.push_back({"a failed flush of the files' bytes",
                   olderSecondFile,
                   traced("-e inject=syncfs:error=EIO:when=1"),
                   1,
                   failed("012"),
                   {older},
                   true});
  // Names the folder could not keep are taken back, and an exchanged older file gets its own.
  cases.push_back({"a failed flush of the folder",
                   olderSecondFile,
                   traced("-e inject=fsync:error=EIO"),
                   1,
                   failed("012"),
                   {older},
                   true});
  // The older file goes once its replacement's name is on the disk; its going is flushed too.
  cases.push_back({"a failed flush of the folder after an older file went",
                   olderSecondFile,
                   traced("-e inject=fsync:error=EIO:when=2"),
                   1,
                   "vornix: cannot flush the folder's entries to the disk: Input/output error\n",
                   {chunks[0], chunks[1], chunks[2]},
                   true});
  cases.push_back({"a failed flush of an in-place rewrite",
                   linkedOlderFile,
                   traced(on({"ZK001"}) + "-e inject=fdatasync:error=EIO"),
                   1,
                   failed("1"),
                   {chunks[0], chunks[2]},
                   true});
  // After the exchange, a temporary name that cannot be looked at may hold another process's
  // file: it is kept, and reported. A kill at the exchange leaves the new chunk under it; a file
  // system without extended attributes has none that a replacement would lose.
  cases.push_back({"a failed look after the exchange",
                   olderSecondFile,
                   traced(on({".ZK001.vornix"}) + "-e inject=%fstat:error=EIO"),
                   1,
                   "vornix: cannot remove .ZK001.vornix: Input/output error\n",
                   {chunks[0], chunks[1], chunks[2]},
                   true,
                   [&] { EXPECT_EQ(readBinaryFile(work.file(".ZK001.vornix")), older.bytes); },
                   1});
  cases.push_back({"SIGKILL at the exchange",
                   olderSecondFile,
                   traced(on({"ZK001"}) + "-e inject=renameat2:signal=KILL:when=1 "
                                          "-e inject=flistxattr:error=EOPNOTSUPP"),
                   128 + SIGKILL,
                   "",
                   {chunks[0], older},
                   true,
                   [&] { EXPECT_EQ(readBinaryFile(work.file(".ZK001.vornix")), chunks[1].bytes); },
                   1});

  // A file written under a temporary name is its owner's alone until it is complete. The first
  // chunk is written again, under a temporary name, once its unnamed file cannot be linked.
  cases.push_back(
      {"a temporary file is private while written",
       [] {},
       once("[ -e .ZK000.vornix ]",
            "stat -c %a .ZK000.vornix >" + quoteForShell(side.file("mode"))) +
           traced("-P ZK000 -P " + quoteForShell(work.file(".ZK000.vornix")) +
                  " -e inject=linkat:error=ENOENT -e inject=write:delay_enter=500000"),
       0,
       "",
       {chunks[0], chunks[1], chunks[2]},
       true,
       [&] {
         ASSERT_TRUE(fs::exists(side.file("mode")));
         EXPECT_EQ(readBinaryFile(side.file("mode")), (std::vector<uint8_t>{'6', '0', '0', '\n'}));
       }});
  // A write that fails before any byte of the file changed, takes none, or finds no room to
  // reserve for the chunk, leaves it, and its other name, whole.
  for (const auto& [fault, reason] :
       {std::pair("write:error=ENOSPC", "No space left on device"),
        std::pair("write:retval=0:when=1", "write error"),
        std::pair("fallocate:error=ENOSPC", "No space left on device")}) {
    cases.push_back({fault,
                     linkedOlderFile,
                     traced(std::string("-P ZK001 -e inject=") + fault),
                     1,
                     std::string("vornix: cannot write ZK001: ") + reason + "\n",
                     {chunks[0], older, chunks[2]},
                     true});
  }
  // Each writes every file whole: without /proc to link an unnamed file through; with every call
  // interrupted once (a signal, a network file system); with a mount point under the name (a
  // bind mount), which is written in place, its calls interrupted once.
  for (const std::string& system :
       {std::string("-e inject=linkat:error=ENOENT"),
        std::string("-P . -P ZK001 -e inject=openat,write,linkat,renameat2,unlink,fstat,pread64,"
                    "syncfs,fsync:error=EINTR:when=1"),
        std::string("-P ZK001 -e inject=renameat2,rename:error=EBUSY "
                    "-e inject=ftruncate,fdatasync:error=EINTR:when=1")}) {
    // cppcheck-suppress useStlAlgorithm ; one row per system reads plainer than a transform
    cases.push_back(
        {system, olderSecondFile, traced(system), 0, "", {chunks[0], chunks[1], chunks[2]}});
  }
  cases.push_back({"a temporary name that cannot be removed",
                   olderSecondFile,
                   traced("-P .ZK001.vornix -e inject=unlink:error=EACCES"),
                   1,
                   "vornix: cannot remove .ZK001.vornix: Permission denied\n",
                   {chunks[0], chunks[1], chunks[2]},
                   true,
                   [] {},
                   1});
  // No descriptor left for the older file's replacement (ZK001's unnamed file is the run's third
  // open of its folder):
  // the chunk fails and the file stays; it is not rewritten in place instead.
  cases.push_back({"an older file whose replacement cannot be made",
                   olderSecondFile,
                   traced("-P . -e inject=openat:error=EMFILE:when=3"),
                   1,
                   "vornix: cannot write ZK001: Too many open files\n",
                   {chunks[0], older, chunks[2]},
                   true});
  // A re-run writes nothing, so even a full disk cannot touch the files; only their time is set.
  const fs::file_time_type aYearAgo =
      fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  cases.push_back(
      {"a re-run on a full disk",
       [&] {
         previousRun();
         fs::last_write_time(work.file("ZK001"), aYearAgo);
       },
       traced("-P ZK000 -P ZK001 -P ZK002 -e inject=write,ftruncate,fallocate:error=ENOSPC"),
       0,
       "",
       {chunks[0], chunks[1], chunks[2]},
       false,
       [&] {
         EXPECT_GT(fs::last_write_time(work.file("ZK001")), aYearAgo + std::chrono::hours(24));
       }});
  cases.back().injects = false;
  // Nor does a re-run whose comparing read and setting of the time are interrupted.
  cases.push_back(
      {"a re-run interrupted",
       cases.back().setUp,
       traced(
           "-P ZK001 -e inject=pread64:error=EINTR:when=1 -e inject=utimensat:error=EINTR:when=1"),
       0,
       "",
       {chunks[0], chunks[1], chunks[2]},
       false,
       [&] {
         EXPECT_GT(fs::last_write_time(work.file("ZK001")), aYearAgo + std::chrono::hours(24));
         const std::vector<uint8_t> calls = readBinaryFile(trace);
         EXPECT_EQ(std::string(calls.begin(), calls.end()).find("rename"), std::string::npos);
       }});
  // Rewritten in place where the replacement, under a temporary name, cannot get the group.
  if (geteuid() == 0) {
    cases.push_back(
        {"an older file whose group cannot be given",
         [&] {
           olderSecondFile();
           ASSERT_EQ(chown(work.file("ZK001").c_str(), 0, 65534), 0);
         },
         traced(on({".", ".ZK001.vornix"}) +
                "-e inject=openat:error=EOPNOTSUPP:when=2 -e inject=fchown:error=EPERM"),
         0,
         "",
         {chunks[0], chunks[1], chunks[2]},
         true,
         [&] {
           struct stat status {};
           EXPECT_EQ(stat(work.file("ZK001").c_str(), &status), 0);
           EXPECT_EQ(status.st_gid, 65534u);
         }});
  }
  // The first process of a PID namespace is not ended by a signal it raises itself. Only root
  // makes the namespace; valgrind cannot run as that process.
  if (geteuid() == 0 && !testingUnderRunner()) {
    cases.push_back({"SIGTERM to a container's first process",
                     olderSecondFile,
                     whileZK001IsWritten("signal=TERM") + "unshare --pid --fork",
                     128 + SIGTERM,
                     "",
                     {chunks[0], chunks[1]}});
  }
  // Every read and write call on the image and in the folder made to fail, once or from then on,
  // in a fresh folder, one of the same files and one of older files (ZK000 and ZK001 with second
  // names, so rewritten in place), the image a file or a loop device of a second name of ZK000.
  writeBinaryFile(imagePath(), image);
  writeBinaryFile(side.file("backing"), image);
  LoopDevice loop;
  std::string& device = loop.path;
  // NOLINTNEXTLINE(cert-env33-c): root alone attaches a loop device to the image, read-only.
  if (geteuid() == 0 && std::system(("losetup -f --show -r " + side.file("backing") + " >" +
                                     side.file("dev") + " 2>/dev/null")
                                        .c_str()) == 0) {
    const std::vector<uint8_t> name = readBinaryFile(side.file("dev"));
    const std::string line(name.begin(), name.end());
    device = line.substr(0, line.find('\n'));
    for (const std::string& target : {device, side.file("backing")}) {
      EXPECT_EQ(runVornix(work.path(), device, "", ">" + target).err,
                "vornix: cannot write to standard output: it is the image being read\n");
    }
  }
  const std::function<void()> folders[] = {
      [] {}, previousRun,
      [&] {
        for (const Chunk& chunk : chunks) {
          writeBinaryFile(work.file(chunk.name), std::vector<uint8_t>(3000, 0x33));
        }
        for (const char* name : {"ZK000", "ZK001"}) {  // longer than ZK000's chunk, not ZK001's
          fs::remove(side.file(name));
          fs::create_hard_link(work.file(name), side.file(name));
        }
      }};
  for (const std::string& from : {fs::canonical(imagePath()).string(), device}) {
    for (int folder = 0; folder < 3 && !from.empty() && !testingUnderRunner(); ++folder) {
      const bool links = folder == 2 || from == device;
      const auto setUp = [&, folder, from] {
        folders[folder]();
        if (from == device) {
          fs::remove(work.file("ZK000"));
          fs::create_hard_link(side.file("backing"), work.file("ZK000"));
        }
      };
      if (links && !holds.hardLinks) {
        continue;
      }
      fs::remove_all(work.path());
      fs::create_directory(work.path());
      setUp();
      fs::remove(trace);
      // The calls of a clean run that reach the image or the folder.
      runVornix(work.path(), from, traced("-y -e trace=pread64,write,ftruncate,fallocate,close"));
      std::ifstream lines(trace);
      std::map<std::string, int> made;
      for (std::string line; std::getline(lines, line);) {
        std::string call;
        std::istringstream(line) >> call >> call;  // after the process's number
        call.resize(std::min(call.find('('), call.size()));
        const std::string number = std::to_string(++made[call]);
        // From then on only where the names and reports are not written too.
        for (const auto& failure : {std::pair<const char*, bool>{"EIO", false},
                                    {"ENOSPC", true},
                                    {"EINVAL", true},
                                    {"EPERM", false}}) {
          std::string injection = "-e inject=";
          injection.append(call).append(":error=").append(failure.first).append(":when=");
          injection.append(number).append(failure.second && call != "write" ? "+" : "");
          if (line.find("<" + from + ">") != std::string::npos ||
              line.find("<" + fs::canonical(work.path()).string() + "/") != std::string::npos) {
            cases.push_back({injection, setUp, traced(injection), -1, "", {}, links});
            cases.back().device = from == device ? device : "";
          }
        }
      }
    }
  }
  // Their judge: a report exactly when not every chunk is written; the names the clean run
  // prints, as far as they go; each name what it held unless printed, else its chunk, else
  // reported with what it holds.
  const auto judge = [&](const RunResult& result,
                         std::map<std::string, std::vector<uint8_t>>& before) {
    const std::string names = listing({chunks[0], chunks[1], chunks[2]});
    EXPECT_EQ(result.err.empty(), result.exitStatus == 0 && result.out == names);
    EXPECT_EQ(names.rfind(result.out, 0), 0u) << result.out;
    EXPECT_EQ(readBinaryFile(side.file("backing")), image);
    for (const std::string& name : work.entries()) {
      EXPECT_NE(names.find(name + "\n"), std::string::npos) << name;
    }
    for (const Chunk& chunk : chunks) {
      const bool exists = fs::exists(work.file(chunk.name));
      const std::vector<uint8_t> after =
          exists ? readBinaryFile(work.file(chunk.name)) : std::vector<uint8_t>{};
      const bool kept =
          before.count(chunk.name) > 0 ? exists && after == before[chunk.name] : !exists;
      const size_t at = result.err.find("cannot write " + chunk.name + ": ");
      const std::string report =
          at == std::string::npos ? "" : result.err.substr(at, result.err.find('\n', at) - at);
      const std::string said = report.empty()
                                   ? "nothing"
                                   : report.substr(std::min(report.find("; left"), report.size()));
      const std::string holds = exists && after == chunk.bytes ? "nothing"
                                : kept || !exists              ? ""
                                : after.empty()                ? "; left empty"
                                                               : "; left incomplete";
      if (result.out.find(chunk.name) == std::string::npos) {
        EXPECT_TRUE(kept && report.empty()) << chunk.name << ": " << report;
      } else {
        EXPECT_EQ(said, holds) << chunk.name << ": " << report;
      }
    }
  };
  std::string skippedRows;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Rows that act at a link need a file system that makes links (FAT and exFAT do not), rows
    // that act at a flush of the folder or its file system a disk.
    if (((c.needsLinksAndModes || c.prefix.find("linkat") != std::string::npos) &&
         !(holds.hardLinks && holds.modes)) ||
        (c.prefix.find("inject=fsync") != std::string::npos && !holds.disk) ||
        (c.prefix.find("inject=syncfs") != std::string::npos && !holds.disk)) {
      skippedRows += " '" + c.what + "'";
      continue;
    }
    fs::remove_all(work.path());
    fs::create_directory(work.path());
    c.setUp();
    std::map<std::string, std::vector<uint8_t>> before;
    for (const std::string& name : c.status < 0 ? work.entries() : std::vector<std::string>{}) {
      before[name] = readBinaryFile(work.file(name));
    }
    // A new trace each time: FAT through fusefat hangs on a file cut short and written again.
    fs::remove(trace);
    // SIGQUIT and SIGXCPU would leave a core dump among the files.
    const RunResult result = c.device.empty()
                                 ? runOn(image, "ulimit -c 0; " + c.prefix)
                                 : runVornix(work.path(), c.device, "ulimit -c 0; " + c.prefix);
    std::error_code noModes;  // FAT keeps none
    fs::permissions(work.path(), fs::perms::owner_all, fs::perm_options::add, noModes);
    if (c.status >= 0) {
      EXPECT_EQ(result.exitStatus, c.status);
      EXPECT_EQ(result.err, c.err);
    }
    const std::vector<uint8_t> traceBytes = readBinaryFile(trace);
    // strace pads a call out to its result with spaces; one stands for them here.
    std::string traceText;
    for (const uint8_t byte : traceBytes) {
      if (byte != ' ' || traceText.empty() || traceText.back() != ' ') {
        traceText += static_cast<char>(byte);
      }
    }
    if (c.injects) {
      expectInjected(c.prefix, traceText);
    } else {
      EXPECT_EQ(traceText.find("(INJECTED)"), std::string::npos) << traceText;
    }
    for (const std::string& call : c.traceShows) {
      EXPECT_NE(traceText.find(call), std::string::npos) << call << " not in\n" << traceText;
    }
    // A run that a caught signal ends dies of it, but where it is a namespace's first process.
    if (c.status > 128 && c.prefix.find("unshare") == std::string::npos) {
      EXPECT_NE(traceText.find("+++ killed by SIG"), std::string::npos) << traceText;
    }
    c.check();
    size_t leftovers = 0;
    for (const std::string& name : work.entries()) {
      // A temporary name left behind is reported, where the judge looks.
      EXPECT_TRUE(c.status >= 0 || name[0] != '.' ||
                  result.err.find("remove " + name + ": ") != std::string::npos);
      leftovers += name[0] == '.' && fs::remove_all(work.file(name)) > 0 ? 1 : 0;
    }
    if (c.status < 0) {
      judge(result, before);
      continue;
    }
    EXPECT_EQ(leftovers, c.leftovers);
    expectFiles(c.files);
    // Every file complete when a caught signal ends the run is listed.
    if (c.status > 128 && c.status != 128 + SIGKILL) {
      EXPECT_EQ(result.out, listing(c.files));
    }
  }
  if (!skippedRows.empty()) {
    std::printf("Skipped rows, which need hard links and modes or a disk:%s\n",
                skippedRows.c_str());
  }
}

}  // namespace
