// vornix: cuts the data chunks out of the first two disks of a D88 floppy-disk image and writes
// each to a numbered file in the current directory.
#include <cstdint>
#include <cstdio>

#include "d88/d88_reader.h"
#include "platform/platform.h"
#include "tool/chunk_file.h"
#include "tool/chunk_scanner.h"
#include "tool/error_text.h"
#include "tool/image_buffer.h"
#include "tool/track_assembly.h"

namespace {

// Only the first disks of an image are processed, whatever the image holds beyond them.
constexpr int32_t kProcessedDisks = 2;

// The descriptors of standard output and standard error, the same on every system.
constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

constexpr const char* kUsageMessage = "Usage: vornix [d88file]\n";
// "The file cannot be opened" in Japanese, as Shift-JIS bytes whatever the terminal's encoding.
constexpr const char* kOpenFailureMessage =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1\n";

// One buffer for the whole run, zero-filled at start and never cleared between disks, so that
// a shorter second disk leaves the first disk's later bytes in place.
uint8_t imageBuffer[kImageBufferSize];

// The names printed on standard output are the record of what was written; losing them is a
// failure of the run, reported once, with the first reason met.
int standardOutputError = -1;

void flushNames() {
  int error = 0;
  if (!flushStandardOutput(error) && standardOutputError < 0) {
    standardOutputError = error;
  }
}

bool finishStandardOutput() {
  flushNames();
  if (standardOutputError < 0) {
    return true;
  }
  reportFailure("write to standard output", errnoText(standardOutputError));
  return false;
}

// The files standard output and standard error go to are known, so that no chunk is written
// over them.
void identifyStandardStreams(FileIdentity& output, FileIdentity& errors, ProtectedFiles& files) {
  if (identifyStandardStream(kStandardOutput, output)) {
    files.standardOutput = &output;
  }
  if (identifyStandardStream(kStandardError, errors)) {
    files.standardError = &errors;
  }
}

// The image is never written through any descriptor, standard output and error included, by
// identity or, where another view of its folder hides that, by its likeness. An image read
// through a loop device is both the device and the file behind it.
bool standardStreamsSpareTheImage(const ProtectedFiles& files, const FileIdentity* device) {
  const auto isImage = [&files, device](const FileIdentity* stream) {
    return stream != nullptr && ((files.image != nullptr && *stream == *files.image) ||
                                 (device != nullptr && *stream == *device));
  };
  // Reported only where the report cannot land in the image.
  if (isImage(files.standardError) || standardStreamShowsImage(kStandardError)) {
    return false;
  }
  if (isImage(files.standardOutput)) {
    reportFailure("write to standard output", "it is the image being read");
    return false;
  }
  if (standardStreamShowsImage(kStandardOutput)) {
    reportFailure("write to standard output", "it may be the image being read");
    return false;
  }
  return true;
}

// A damaged image only yields fewer chunks, but one the system could not deliver is a failure
// of the run, reported once, after the chunks that were found.
bool finishReading(const D88Reader& reader) {
  if (reader.getReadError() == 0) {
    return true;
  }
  reportFailure("read the image", errnoText(reader.getReadError()));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  prepareProcess();
  D88Reader reader;
  int32_t fileCounter = 0;
  if (argc != 2) {
    (void)std::fputs(kUsageMessage, stderr);
    return 1;
  }
  if (!reader.open(argv[1])) {
    (void)std::fputs(kOpenFailureMessage, stderr);
    return 1;
  }
  FileIdentity image;
  FileIdentity device;
  FileIdentity output;
  FileIdentity errors;
  ProtectedFiles protectedFiles;
  const FileIdentity* imageDevice = nullptr;
  if (reader.getFileIdentity(image)) {
    protectedFiles.image = &image;
  }
  // No chunk file is ever a device, but one can be the file a loop device reads: that file is
  // the image the chunks must spare.
  FileIdentity backing;
  if (reader.getBackingFileIdentity(backing)) {
    device = image;
    imageDevice = protectedFiles.image != nullptr ? &device : nullptr;
    image = backing;
    protectedFiles.image = &image;
  }
  identifyStandardStreams(output, errors, protectedFiles);
  uint64_t imageSize = 0;
  const uint8_t* firstHeader = nullptr;
  if (reader.getImageLikeness(imageSize, firstHeader)) {
    protectedFiles.imageSize = imageSize;
    protectedFiles.imageHead = firstHeader;
    protectedFiles.imageHeadSize = kDiskHeaderSize;
  }
  beginChunkFiles(protectedFiles);
  if (!standardStreamsSpareTheImage(protectedFiles, imageDevice)) {
    return 1;
  }

  bool succeeded = true;
  for (int32_t disk = 0; disk < reader.getDiskCount() && disk < kProcessedDisks; ++disk) {
    // A disk that could not be read whole would be scanned over bytes it never put in the
    // buffer, and every later chunk would get another disk's number: the run writes nothing
    // from it on, and the older files under those names stay.
    if (!reader.selectDisk(disk)) {
      break;
    }
    assembleDisk(reader, imageBuffer);
    if (reader.getDiskReadError() != 0) {
      break;
    }
    // A signal during the scan waits until the file being written is complete and the names of
    // the files written are out.
    holdEndingSignals();
    if (!scanChunks(imageBuffer, fileCounter)) {
      succeeded = false;
    }
    flushNames();
    releaseEndingSignals();
  }
  if (!finishReading(reader)) {
    succeeded = false;
  }
  if (!finishStandardOutput()) {
    succeeded = false;
  }
  return succeeded ? 0 : 1;
}
