// The run's signals and standard output on POSIX systems: an ending signal waits while a chunk
// file is written, and the names of the files written go out whatever signal comes meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace {

// A run ended by signal n that cannot die of it exits with 128 + n, as a shell reports it.
constexpr int kSignalStatusBase = 128;

// The catchable signals whose default action ends the process and that another process sends.
// The ones the system raises for a fault of the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP, SIGSYS, SIGABRT) are left at their default: deferring one would run on into the fault.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// While signals are held, an ending signal is only noted here, and the run ends by it at the
// next point where every chunk file is complete or known to be left as it was. Plain flags
// instead of blocking the signals around every file: a run of 780 files makes no system call
// for them.
volatile sig_atomic_t signalsHeld = 0;
volatile sig_atomic_t pendingSignal = 0;

// Set while the names are being given to standard output, which may wait on a full pipe.
volatile sig_atomic_t writingOutput = 0;

// Ends the process by signalNumber, as the shell expects: with the default action back and the
// signal unblocked, raising it ends the process at once. The first process of a PID namespace
// (a container's init) ignores such a signal; it exits with the status a shell gives instead.
[[noreturn]] void endBySignal(int signalNumber) {
  (void)signal(signalNumber, SIG_DFL);
  sigset_t only;
  (void)sigemptyset(&only);
  (void)sigaddset(&only, signalNumber);
  (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(signalNumber);
  // cppcheck-suppress unreachableCode ; raise returns where the signal cannot end the process
  _exit(kSignalStatusBase + signalNumber);
}

extern "C" void onEndingSignal(int signalNumber) {
  if (signalsHeld != 0) {
    if (pendingSignal == 0) {
      pendingSignal = signalNumber;
      return;
    }
    // A second signal while the names wait for a full pipe: the run ends now.
    if (writingOutput == 0) {
      return;
    }
  }
  endBySignal(signalNumber);
}

void catchEndingSignal(int signalNumber, const struct sigaction& handler) {
  struct sigaction current {};
  // Fails for the few real-time signals a debugger or emulator keeps for itself.
  if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
    (void)sigaction(signalNumber, &handler, nullptr);
  }
}

// The names waiting for standard output, and the first failure to write them.
std::string queuedOutput;
int outputError = 0;

}  // namespace

void queueStandardOutput(const char* text, size_t size) {
  if (outputError == 0) {
    queuedOutput.append(text, size);
  }
}

bool flushStandardOutput(int& error) {
  writingOutput = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  size_t done = 0;
  while (outputError == 0 && done < queuedOutput.size()) {
    const ssize_t wrote =
        write(STDOUT_FILENO, queuedOutput.data() + done, queuedOutput.size() - done);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
    } else if (wrote < 0 && errno == EINTR) {
      // A first ending signal waits for the names; a second one ends the run in its handler.
      continue;
    } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Another program left the output non-blocking: wait until it takes more.
      pollfd output{STDOUT_FILENO, POLLOUT, 0};
      (void)poll(&output, 1, -1);
    } else {
      // Not every system says why a write gave nothing.
      outputError = wrote < 0 && errno != 0 ? errno : EIO;
    }
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  writingOutput = 0;
  queuedOutput.clear();
  error = outputError;
  return outputError == 0;
}

void prepareProcess() {
  // A closed standard stream would be taken by the next file opened, and the names or reports
  // meant for it written there. A read-only stand-in makes every write to it fail instead.
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
      (void)open("/dev/null", O_RDONLY | O_NOCTTY);
    }
  }

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  (void)sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction hold {};
  hold.sa_handler = onEndingSignal;
  // No SA_RESTART: a signal interrupts a write blocked on a full pipe, so that it can end the
  // run. Every other signal waits for the handler to finish.
  (void)sigfillset(&hold.sa_mask);
  for (const int signalNumber : kEndingSignals) {
    catchEndingSignal(signalNumber, hold);
  }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    catchEndingSignal(signalNumber, hold);
  }
#endif
}

void holdEndingSignals() {
  signalsHeld = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void endRunIfSignalled() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int signalNumber = pendingSignal;
  if (signalNumber != 0) {
    // The names of the files complete so far go out before the run ends.
    int error = 0;
    (void)flushStandardOutput(error);
    endBySignal(signalNumber);
  }
}

bool endingSignalWaits() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return pendingSignal != 0;
}

void releaseEndingSignals() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  signalsHeld = 0;
  // A signal that comes from here on ends the run at once, in its handler.
  endRunIfSignalled();
}
