// The least any formatter that hands standard output over at every end of
// line must spend: it writes the lines of a given text file to standard
// output with one write(2) per line, and does nothing else. The benchmark
// runs it on ringlens's own output. With --blocks it writes the text in
// 64 KiB blocks instead, as cat does: the least any program that writes
// the text to a file must spend.
//
//   ringlens_line_floor [--blocks] TEXT_FILE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool writeAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool blocks = argc == 3 && std::strcmp(argv[1], "--blocks") == 0;
  if (argc != 2 && !blocks) {
    std::fprintf(stderr, "usage: ringlens_line_floor [--blocks] TEXT_FILE\n");
    return 2;
  }
  const char* name = argv[argc - 1];
  int fd = open(name, O_RDONLY);
  if (fd < 0) {
    std::perror(name);
    return 1;
  }
  if (blocks) {
    std::vector<char> block(64 * 1024);
    for (;;) {
      ssize_t got = read(fd, block.data(), block.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        std::perror(name);
        return 1;
      }
      if (got == 0) break;
      if (!writeAll(block.data(), static_cast<size_t>(got))) return 1;
    }
    close(fd);
    return 0;
  }
  std::vector<char> buffer(1 << 20);
  size_t held = 0;
  for (;;) {
    ssize_t got = read(fd, buffer.data() + held, buffer.size() - held);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::perror(name);
      return 1;
    }
    held += static_cast<size_t>(got);
    // Every whole line held, one write each.
    size_t begin = 0;
    while (const void* nl = std::memchr(buffer.data() + begin, '\n', held - begin)) {
      size_t end = static_cast<size_t>(static_cast<const char*>(nl) - buffer.data()) + 1;
      if (!writeAll(buffer.data() + begin, end - begin)) return 1;
      begin = end;
    }
    if (got == 0 || (begin == 0 && held == buffer.size())) {
      // The end of the file, or a line longer than the buffer: what is
      // held goes out as it is.
      if (!writeAll(buffer.data() + begin, held - begin)) return 1;
      begin = held;
      if (got == 0) break;
    }
    std::memmove(buffer.data(), buffer.data() + begin, held - begin);
    held -= begin;
  }
  close(fd);
  return 0;
}
