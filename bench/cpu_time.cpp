// Runs a command and prints the CPU time it took, user plus system, in microseconds, as the
// kernel accounts it to the finished child (wait4). Its standard output goes to /dev/null.
// Usage: cpu_time COMMAND [ARGUMENT...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fputs("usage: cpu_time COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
    (void)std::fprintf(stderr, "cpu_time: cannot run %s\n", argv[1]);
    return 2;
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    return 2;
  }
  const long long micros = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL +
                           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  std::printf("%lld\n", micros);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
