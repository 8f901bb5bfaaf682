// Chunk files on Windows: a new file written under a temporary name, flushed to the disk and
// renamed only then, an older one left as it is, replaced whole or rewritten in place.
#include <io.h>
#include <windows.h>

#include "platform/windows/handles.h"

using win::Handle;
using win::identifyHandle;
using win::identityOf;
using win::mayBeTheImage;
using win::moveTo;
using win::removeWhenClosed;
using win::startsWith;
using win::systemErrorText;
using win::widen;
using win::writeAll;

namespace {

// Writes data to a new file under a free temporary name and closes it; the file can be removed
// through removal only while it is the run's. False with the system's error otherwise.
bool writeStandIn(const char* fileName, const uint8_t* data, size_t size, std::string& temporary,
                  FileIdentity& identity, DWORD& error) {
  Handle file;
  for (int attempt = 0; attempt < kTemporaryNameTries && !file.isOpen(); ++attempt) {
    temporary = temporaryNameFor(fileName, attempt);
    file.reset(CreateFileA(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = GetLastError();
    if (!file.isOpen() && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
        error != ERROR_ACCESS_DENIED) {
      return false;
    }
  }
  if (!file.isOpen()) {
    return false;
  }
  size_t changed = 0;
  // Windows flushes one file at a time: the bytes are on the disk before the name is given.
  if (!identifyHandle(file.get(), identity) || !writeAll(file.get(), data, size, changed) ||
      FlushFileBuffers(file.get()) == 0) {
    error = GetLastError();
    (void)removeWhenClosed(file.get());
    return false;
  }
  // Some file systems report a failed write only when the file is closed; the file is marked
  // for removal first, and kept only once it closed cleanly.
  Handle again(CreateFileA(temporary.c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.close()) {
    error = GetLastError();
    FileIdentity named;
    if (again.isOpen() && identifyHandle(again.get(), named) && named == identity) {
      (void)removeWhenClosed(again.get());
    }
    return false;
  }
  return true;
}

// Removes the run's temporary name when it still shows the run's file.
void removeTemporary(const std::string& temporary, const FileIdentity& identity,
                     FileWriteResult& result) {
  Handle file(CreateFileA(temporary.c_str(), DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FileIdentity named;
  if (!file.isOpen() || !identifyHandle(file.get(), named) || !(named == identity)) {
    return;
  }
  if (!removeWhenClosed(file.get()) && result.leftover.empty()) {
    result.leftover = temporary;
    result.leftoverReason = systemErrorText(GetLastError());
  }
}

// Whether fileName still shows the file of identity old.
bool stillShows(const char* fileName, const FileIdentity& old) {
  Handle file(CreateFileA(fileName, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FileIdentity named;
  return file.isOpen() && identifyHandle(file.get(), named) && named == old;
}

// Writes a new file under a temporary name and gives it fileName only when it is complete:
// replacing the older file old under that name when given, checked just before the move (the
// instant between the two is the one place where another program's file saved meanwhile is
// replaced), otherwise only while no file has that name.
void writeNewFile(const char* fileName, const uint8_t* data, size_t size, const FileIdentity* old,
                  FileWriteResult& result) {
  const bool replace = old != nullptr;
  std::string temporary;
  FileIdentity identity;
  DWORD error = ERROR_SUCCESS;
  if (!writeStandIn(fileName, data, size, temporary, identity, error)) {
    result.reason = systemErrorText(error);
    return;
  }
  if (replace && !stillShows(fileName, *old)) {
    result.reason = "another file took its place meanwhile";
    removeTemporary(temporary, identity, result);
    return;
  }
  // Returns only once the move is on the disk.
  if (MoveFileExW(widen(temporary).c_str(), widen(fileName).c_str(),
                  MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)) == 0) {
    result.reason = systemErrorText(GetLastError());
    removeTemporary(temporary, identity, result);
    return;
  }
  result.written = identity;
  result.complete = true;
}

// Takes back an existing file whose bytes changed before its write failed: emptied through its
// handle, so that no other link keeps the partial bytes, then removed while it is still the
// run's file.
NameLeft withdrawFile(Handle& file) {
  const bool emptied = moveTo(file.get(), 0) && SetEndOfFile(file.get()) != 0;
  // Without its name, another link would keep part of the chunk among old bytes unseen; the
  // name stays and the report says what it holds.
  if (!emptied) {
    (void)file.close();
    return NameLeft::kIncomplete;
  }
  const bool removed = removeWhenClosed(file.get());
  (void)file.close();
  if (removed) {
    return NameLeft::kRemoved;
  }
  return NameLeft::kEmptied;
}

// Writes data over the start of a file that has other links, then cuts it to the chunk's
// length, whatever length another program gave it meanwhile.
void rewriteInPlace(Handle& file, const uint8_t* data, size_t size, const FileIdentity& identity,
                    FileWriteResult& result) {
  size_t changed = 0;
  bool written = moveTo(file.get(), 0) && writeAll(file.get(), data, size, changed) &&
                 SetEndOfFile(file.get()) != 0 && FlushFileBuffers(file.get()) != 0;
  DWORD error = written ? ERROR_SUCCESS : GetLastError();
  if (!written) {
    result.reason = systemErrorText(error);
    if (changed > 0) {
      result.left = withdrawFile(file);
    }
    return;
  }
  if (!file.close()) {
    // The handle is gone; the bytes may be incomplete and cannot be taken back through it.
    result.reason = systemErrorText(GetLastError());
    result.left = NameLeft::kIncomplete;
    return;
  }
  result.written = identity;
  result.complete = true;
}

// Checks an existing file and writes it: left as it is when it already holds the bytes,
// replaced by a complete new file when it has one link, rewritten in place otherwise.
void writeExistingFile(Handle& file, bool readable, const char* fileName, const uint8_t* data,
                       size_t size, const ExistingFileRules& rules, FileWriteResult& result) {
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.reason = "it is a device";
    return;
  }
  if (GetFileInformationByHandle(file.get(), &information) == 0) {
    result.reason = systemErrorText(GetLastError());
    return;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    result.reason = "it is a symbolic link";
    return;
  }
  const uint64_t existingSize =
      (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  const FileIdentity identity = identityOf(information);
  if (!rules.mayWrite(identity, existingSize, result.reason)) {
    return;
  }
  // Before any path that changes the file, its time included.
  if (mayBeTheImage(file.get(), existingSize, readable, rules)) {
    result.reason = "it may be the image being read";
    return;
  }
  if (readable && existingSize == size && moveTo(file.get(), 0) &&
      startsWith(file.get(), data, size)) {
    // Nothing is written, so nothing can fail half-way; the time still tells that this run
    // wrote the file, where the file system can keep it.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    (void)SetFileTime(file.get(), nullptr, nullptr, &now);
    result.written = identity;
    result.complete = true;
    return;
  }
  if (information.nNumberOfLinks == 1) {
    (void)file.close();
    writeNewFile(fileName, data, size, &identity, result);
    return;
  }
  rewriteInPlace(file, data, size, identity, result);
}

}  // namespace

FileWriteResult writeFileWhole(const char* fileName, const uint8_t* data, size_t size,
                               const ExistingFileRules& rules) {
  // Sharing delete keeps the file removable while it is open; a reparse point (a symbolic link
  // or junction) is opened itself instead of being followed. Read access serves only to
  // compare: a file that may be written but not read is written all the same.
  const auto openExisting = [fileName](DWORD access) {
    const auto attempt = [fileName](DWORD wanted) {
      return CreateFileA(fileName, wanted, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
    };
    // Removal through the handle needs delete access, which a file another program holds open
    // (the image, for one) may not share; such a file can still be checked and refused.
    const HANDLE handle = attempt(access | DELETE);
    return handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION
               ? handle
               : attempt(access);
  };
  FileWriteResult result;
  bool readable = true;
  Handle file(openExisting(GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES));
  if (!file.isOpen() && GetLastError() == ERROR_ACCESS_DENIED) {
    readable = false;
    file.reset(openExisting(GENERIC_WRITE | FILE_WRITE_ATTRIBUTES));
  }
  if (file.isOpen()) {
    writeExistingFile(file, readable, fileName, data, size, rules, result);
    return result;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) {
    writeNewFile(fileName, data, size, nullptr, result);
    return result;
  }
  const DWORD attributes = GetFileAttributesA(fileName);
  result.reason =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
          ? "it is a directory"
          : systemErrorText(error);
  return result;
}

// Every file is flushed and named as it is written, so none waits.
bool stagedFilesFull() {
  return false;
}

std::vector<FileWriteResult> nameStagedFiles(int& /*folderError*/) {
  return {};
}

bool standardStreamMayBeImage(int descriptor, const ExistingFileRules& rules) {
  const intptr_t handle = _get_osfhandle(descriptor);
  LARGE_INTEGER length{};
  if (handle == -1 || GetFileType(reinterpret_cast<HANDLE>(handle)) != FILE_TYPE_DISK ||
      GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &length) == 0) {
    return false;
  }
  // A stream opened for writing only is read through a handle of its own.
  const Handle reader(ReOpenFile(reinterpret_cast<HANDLE>(handle), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
  return mayBeTheImage(reader.get(), static_cast<uint64_t>(length.QuadPart), reader.isOpen(),
                       rules);
}
