// Loaded into the program under test with LD_PRELOAD: logs every write(2)
// to standard output, one line each, "asked returned errno", to the file
// named by RINGLENS_WRITE_LOG. Whole-program tests read the log to see how
// the program hands its output over.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);

WriteFunction realWrite() {
  static WriteFunction real = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  return real;
}

int logFile() {
  static int fd = [] {
    const char* name = std::getenv("RINGLENS_WRITE_LOG");
    return name ? open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  }();
  return fd;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  ssize_t result = realWrite()(fd, data, size);
  if (fd == 1) {
    int saved = errno;
    char line[64];
    int length = std::snprintf(line, sizeof line, "%zu %zd %d\n", size, result, result < 0 ? saved : 0);
    if (logFile() >= 0 && length > 0) realWrite()(logFile(), line, static_cast<size_t>(length));
    errno = saved;
  }
  return result;
}
