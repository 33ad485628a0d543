// Times a command for the benchmark, without a shell's own start-up in the
// measurement.
//
//   timeit [-n COUNT] COMMAND [ARG...]
//
// runs COMMAND COUNT times (default 1), one run after the other, with
// standard input, output and error on /dev/null, and prints one line: the
// wall-clock seconds of all the runs together (from the first spawn to the
// last reaping), the largest peak resident set of any run in KiB, and the
// first non-zero exit status (128 plus the signal for a killed run), or 0.
// Its own exit status is 0 unless it could not run the command at all.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) +
         static_cast<double>(ts.tv_nsec) * 1e-9;
}

int Usage() {
  std::fprintf(stderr, "usage: timeit [-n COUNT] COMMAND [ARG...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  long count = 1;
  if (argc > 2 && std::strcmp(argv[1], "-n") == 0) {
    char* end = nullptr;
    count = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || count < 1) return Usage();
    first = 3;
  }
  if (first >= argc) return Usage();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);

  long peak_kib = 0;
  int worst = 0;
  const double start = Now();
  for (long run = 0; run < count; ++run) {
    pid_t pid;
    const int error = posix_spawnp(&pid, argv[first], &actions, nullptr,
                                   argv + first, environ);
    if (error != 0) {
      std::fprintf(stderr, "timeit: could not run %s: %s\n", argv[first],
                   std::strerror(error));
      return 1;
    }
    int status = 0;
    rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
      if (errno != EINTR) {
        std::fprintf(stderr, "timeit: could not wait: %s\n",
                     std::strerror(errno));
        return 1;
      }
    }
    if (usage.ru_maxrss > peak_kib) peak_kib = usage.ru_maxrss;
    const int code =
        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (worst == 0) worst = code;
  }
  const double seconds = Now() - start;
  posix_spawn_file_actions_destroy(&actions);
  std::printf("%.6f %ld %d\n", seconds, peak_kib, worst);
  return 0;
}
