#include "tool/tool_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ringlens::tool {

namespace {

class DescriptorSource : public ByteSource {
 public:
  DescriptorSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~DescriptorSource() override { close(); }
  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override {
    size_t done = 0;
    while (fd_ >= 0 && done < dst.size()) {
      ssize_t n = pread(fd_, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }
  uint64_t size() const override { return size_; }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  uint64_t size_;
};

ToolInput failed(int error) {
  ToolInput input;
  input.problem = std::strerror(error);
  return input;
}

ToolInput fromDescriptor(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int error = errno;
    ::close(fd);
    return failed(error);
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return failed(EISDIR);
  }
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    ::close(fd);
    ToolInput input;
    input.problem = "not a regular file";
    return input;
  }
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int error = errno;
    ::close(fd);
    return failed(error);
  }
  ToolInput input;
  input.source = std::make_unique<DescriptorSource>(fd, static_cast<uint64_t>(end));
  input.identity = {true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return input;
}

// Copies standard input to a temporary file that has no name.
ToolInput spoolStandardInput() {
  const char* folder = std::getenv("TMPDIR");
  std::string dir = folder && *folder ? folder : "/tmp";
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string pattern = dir + "/ringlens-tool-stdin-XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return failed(errno);
    ::unlink(pattern.c_str());
  }
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      return failed(error);
    }
    if (n == 0) break;
    for (ssize_t put = 0; put < n;) {
      ssize_t w = ::write(fd, chunk + put, static_cast<size_t>(n - put));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        int error = w < 0 ? errno : EIO;
        ::close(fd);
        return failed(error);
      }
      put += w;
    }
  }
  ToolInput input = fromDescriptor(fd);
  input.identity.known = false;  // not a file the user named
  return input;
}

}  // namespace

ToolInput openToolInput(const std::string& name) {
  if (name == "-") {
    struct stat info;
    if (fstat(0, &info) != 0) return failed(errno);
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
      int fd = fcntl(0, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) return failed(errno);
      return fromDescriptor(fd);
    }
    return spoolStandardInput();
  }
  int fd = open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  return fromDescriptor(fd);
}

std::string inputLabel(const std::string& name) {
  return name == "-" ? std::string("standard input") : "'" + name + "'";
}

}  // namespace ringlens::tool
