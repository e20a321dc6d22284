// Runs a command once with its standard output and standard error sent to
// the named files, and prints its wall-clock time in seconds, its peak
// resident memory in KiB, its exit status and the processor time it used
// (user and system) in seconds:
//
//   ringlens_bench_measure OUT_FILE ERR_FILE COMMAND [ARGUMENTS...]
//   0.123456 3456 0 0.120001
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: ringlens_bench_measure OUT_FILE ERR_FILE COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) {
    std::perror("ringlens_bench_measure: output file");
    return 2;
  }
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) {
    std::perror("ringlens_bench_measure: fork");
    return 2;
  }
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("ringlens_bench_measure: wait4");
      return 2;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  auto toSeconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  double cpu = toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
  std::printf("%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss, exitStatus, cpu);
  return 0;
}
