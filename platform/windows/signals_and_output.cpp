// The run's Ctrl-C and standard output on Windows: Ctrl-C waits while a chunk file is written,
// and the names of the files written go out before the run ends.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace {

// Held while signals are held, so that Ctrl-C can end the run only between two chunk files.
struct WriteLock {
  WriteLock() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};

WriteLock writeLock;
std::atomic<bool> interrupted{false};

// Runs on a thread of its own: taking the write lock waits until the chunk files being written
// are complete and their names out, and keeps the next one from starting; the process then ends
// with the status the system gives an interrupted program.
BOOL WINAPI onConsoleInterrupt(DWORD /*event*/) {
  interrupted = true;
  EnterCriticalSection(&writeLock.section);
  (void)std::fflush(stdout);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void queueStandardOutput(const char* text, size_t size) {
  (void)std::fwrite(text, 1, size, stdout);
}

bool flushStandardOutput(int& error) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    error = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

void prepareProcess() {
  // Windows has neither broken-pipe nor file-size signals: such writes simply fail. When Ctrl-C
  // is ignored, the system does not call the handler either.
  (void)SetConsoleCtrlHandler(onConsoleInterrupt, TRUE);
}

void holdEndingSignals() {
  EnterCriticalSection(&writeLock.section);
}

void endRunIfSignalled() {
  if (interrupted) {
    (void)std::fflush(stdout);
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

bool endingSignalWaits() {
  return interrupted;
}

void releaseEndingSignals() {
  // A waiting Ctrl-C handler takes the lock now and ends the run.
  LeaveCriticalSection(&writeLock.section);
}
