// Runs a command once with its standard output and standard error sent to
// the named files, and prints its wall-clock time in seconds, its peak
// resident memory in KiB, its exit status and the processor time it used
// (user and system) in seconds:
//
//   ringlens_bench_measure [--pipe] OUT_FILE ERR_FILE COMMAND [ARGUMENTS...]
//   0.123456 3456 0 0.120001
//
// With --pipe the command's standard output is a pipe, read here as fast as
// it comes and kept in OUT_FILE; the time includes reading it to its end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool viaPipe = argc > 1 && std::strcmp(argv[1], "--pipe") == 0;
  if (viaPipe) {
    --argc;
    ++argv;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: ringlens_bench_measure [--pipe] OUT_FILE ERR_FILE COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) {
    std::perror("ringlens_bench_measure: output file");
    return 2;
  }
  int pipeEnds[2] = {-1, -1};
  if (viaPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) {
    std::perror("ringlens_bench_measure: pipe");
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
    if (in < 0 || dup2(in, 0) < 0 || dup2(viaPipe ? pipeEnds[1] : out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  if (viaPipe) {
    // Read everything, keeping it in a large buffer so that the reader
    // costs the writer as little as it can.
    close(pipeEnds[1]);
    std::vector<char> held(1 << 20);
    size_t used = 0;
    for (;;) {
      ssize_t got = read(pipeEnds[0], held.data() + used, held.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) used += static_cast<size_t>(got);
      if (got <= 0 || used == held.size()) {
        if (!writeAll(out, held.data(), used)) {
          std::perror("ringlens_bench_measure: output file");
          return 2;
        }
        used = 0;
      }
      if (got <= 0) break;
    }
    close(pipeEnds[0]);
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
