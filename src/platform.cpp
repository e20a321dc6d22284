#include "platform.h"

#include <memory>
#include <string_view>

#include "input_file.h"

#ifdef _WIN32
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ringlens {

#ifdef _WIN32

namespace {

class WindowsFile final : public ByteSource {
 public:
  WindowsFile(HANDLE handle, uint64_t size) : handle_(handle), size_(size) {}
  ~WindowsFile() override { closeHandle(); }

  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override {
    size_t done = 0;
    while (handle_ != INVALID_HANDLE_VALUE && done < dst.size()) {
      OVERLAPPED at{};
      uint64_t position = offset + done;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
      size_t rest = dst.size() - done;
      DWORD ask = rest > 0x40000000 ? 0x40000000 : static_cast<DWORD>(rest);
      DWORD got = 0;
      if (!ReadFile(handle_, dst.data() + done, ask, &got, &at) || got == 0) break;
      done += got;
    }
    return done;
  }
  uint64_t size() const override { return size_; }
  void close() override { closeHandle(); }

 private:
  void closeHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  HANDLE handle_;
  uint64_t size_;
};

bool outputIsFile = false;

// A pipe, read front to back.
class WindowsStream : public StreamSource {
 public:
  explicit WindowsStream(HANDLE handle) : handle_(handle) {}
  ~WindowsStream() override { close(); }
  void close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 protected:
  size_t readSome(std::span<uint8_t> dst) override {
    if (handle_ == INVALID_HANDLE_VALUE) return 0;
    DWORD ask = dst.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(dst.size());
    DWORD got = 0;
    // A pipe whose writer has closed it fails with ERROR_BROKEN_PIPE: its
    // end. A message longer than the read comes in parts.
    if (!ReadFile(handle_, dst.data(), ask, &got, nullptr) && GetLastError() != ERROR_MORE_DATA) return 0;
    return got;
  }

 private:
  HANDLE handle_;
};

// In text mode _write turns each "\n" into "\r\n" and counts the bytes it
// was given, not the bytes it wrote.
StreamWrite writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    unsigned ask = bytes.size() > 0x10000000 ? 0x10000000u : static_cast<unsigned>(bytes.size());
    int n = _write(fd, bytes.data(), ask);
    if (n <= 0) {
      // A pipe whose reader has gone fails with ERROR_BROKEN_PIPE, with
      // ERROR_NO_DATA while the other end is being closed, or (under Wine)
      // with ERROR_PIPE_NOT_CONNECTED.
      DWORD error = GetLastError();
      if (n < 0 && errno != EBADF &&
          (errno == EPIPE || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)) {
        return StreamWrite::CLOSED;
      }
      return StreamWrite::FAILED;
    }
    bytes.remove_prefix(static_cast<unsigned>(n) < ask ? static_cast<size_t>(n) : ask);
  }
  return StreamWrite::WRITTEN;
}

}  // namespace

void initPlatform() {
  // The C runtime takes the time zone from TZ where it is set, in its own
  // form "tzn[+|-]hh[:mm[:ss]][dzn]" (for example EST5EDT), and from the
  // system's time-zone setting otherwise.
  _tzset();
  // Standard output and standard error are text streams: a newline is
  // written as a carriage return and a line feed, whether they go to a
  // console, a pipe or a file.
  _setmode(1, _O_TEXT);
  _setmode(2, _O_TEXT);
  // A file name on a drive with no medium fails the open quietly instead of
  // asking the user with a message box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // A file on a disk has no reader that waits for each line.
  intptr_t out = _get_osfhandle(1);
  outputIsFile = out != -1 && out != -2 && GetFileType(reinterpret_cast<HANDLE>(out)) == FILE_TYPE_DISK;
}

std::unique_ptr<ByteSource> openInputFile(const char* name) {
  int wideLength = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (wideLength <= 0) return nullptr;
  std::unique_ptr<wchar_t[]> wide(new wchar_t[static_cast<size_t>(wideLength)]);
  MultiByteToWideChar(CP_ACP, 0, name, -1, wide.get(), wideLength);
  // Other processes may keep the file open for reading and writing, so a
  // trace that is still being written can be formatted.
  HANDLE handle = CreateFileW(wide.get(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // A named pipe (\\.\pipe\NAME) is read as a stream.
  if (GetFileType(handle) == FILE_TYPE_PIPE) return std::make_unique<WindowsStream>(handle);
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<WindowsFile>(handle, static_cast<uint64_t>(size.QuadPart));
}

StreamWrite writeStandardOutput(std::string_view bytes) { return writeAll(1, bytes); }
bool writeStandardError(std::string_view bytes) { return writeAll(2, bytes) == StreamWrite::WRITTEN; }
bool standardOutputIsFile() { return outputIsFile; }

bool toLocalTime(int64_t seconds, std::tm& local) {
  // The C runtime converts no time before 1970. The Gregorian calendar
  // repeats every 400 years, weekdays included (146097 days are 20871
  // weeks), so an earlier time is converted 400 years later and its year
  // moved back. Only daylight saving may differ from the runtime's own
  // rule for the earlier year: the later year's rule applies.
  constexpr int64_t GREGORIAN_CYCLE = 146097LL * 24 * 60 * 60;
  int cycles = 0;
  if (seconds < 0) {
    if (seconds < -GREGORIAN_CYCLE) return false;
    seconds += GREGORIAN_CYCLE;
    cycles = 1;
  }
  __time64_t t = seconds;
  if (_localtime64_s(&local, &t) != 0) return false;
  local.tm_year -= 400 * cycles;
  return true;
}

#else

namespace {

class PosixFile final : public ByteSource {
 public:
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { closeDescriptor(); }

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
  void close() override { closeDescriptor(); }

 private:
  void closeDescriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_;
  uint64_t size_;
};

// A pipe, a FIFO or a socket, read front to back.
class PosixStream : public StreamSource {
 public:
  explicit PosixStream(int fd) : fd_(fd) {}
  ~PosixStream() override { close(); }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 protected:
  size_t readSome(std::span<uint8_t> dst) override {
    for (;;) {
      if (fd_ < 0) return 0;
      ssize_t n = ::read(fd_, dst.data(), dst.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // A non-blocking descriptor handed over empty: wait for its bytes.
        pollfd readable{fd_, POLLIN, 0};
        if (poll(&readable, 1, -1) < 0 && errno != EINTR) return 0;
        continue;
      }
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  }

 private:
  int fd_;
};

bool outputIsFile = false;

StreamWrite writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking stream that is full: wait until it takes bytes
      // again. A reader that goes away meanwhile shows in the next write.
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, -1) < 0 && errno != EINTR) return StreamWrite::FAILED;
      continue;
    }
    if (n < 0 && errno == EPIPE) return StreamWrite::CLOSED;
    return StreamWrite::FAILED;
  }
  return StreamWrite::WRITTEN;
}

// The descriptor a name such as /dev/stdin, /dev/fd/N or /proc/self/fd/N
// stands for, when it is one this process holds and is the object `named`
// the name leads to; -1 otherwise.
int descriptorNamed(std::string_view name, const struct stat& named) {
  int fd = -1;
  if (name == "/dev/stdin") {
    fd = 0;
  } else {
    for (std::string_view folder : {"/dev/fd/", "/proc/self/fd/"}) {
      if (!name.starts_with(folder) || name.size() == folder.size() || name.size() > folder.size() + 9) continue;
      fd = 0;
      for (char c : name.substr(folder.size())) {
        if (c < '0' || c > '9') return -1;
        fd = fd * 10 + (c - '0');
      }
    }
  }
  struct stat held;
  if (fd < 0 || fstat(fd, &held) != 0 || held.st_dev != named.st_dev || held.st_ino != named.st_ino) return -1;
  return fd;
}

bool sameObject(int fd, const struct stat& named) {
  struct stat opened;
  return fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
         (opened.st_mode & S_IFMT) == (named.st_mode & S_IFMT);
}

}  // namespace

void initPlatform() {
  tzset();
  std::signal(SIGPIPE, SIG_IGN);
  // A standard stream the process was started without is held by
  // /dev/null opened for reading: writes to it fail, as they would have,
  // and no file the run opens takes its number.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int held = ::open("/dev/null", O_RDONLY | O_NOCTTY);
      if (held >= 0 && held != fd) ::close(held);
    }
  }
  struct stat info;
  outputIsFile = fstat(1, &info) == 0 && S_ISREG(info.st_mode);
}

std::unique_ptr<ByteSource> openInputFile(const char* name) {
  // What the name leads to decides how it is read, before anything is
  // opened: opening a terminal, a tape or a FIFO can block or act.
  struct stat named;
  if (stat(name, &named) != 0) return nullptr;

  if (S_ISREG(named.st_mode) || S_ISBLK(named.st_mode)) {
    int fd = ::open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!sameObject(fd, named)) {  // replaced since it was looked at
      ::close(fd);
      return nullptr;
    }
    // Some files of /proc and /sys can be read only front to back.
    uint8_t none = 0;
    if (pread(fd, &none, 0, 0) < 0 && errno == ESPIPE) return std::make_unique<PosixStream>(fd);
    // The size is a hint: files in /proc report none, and a dump may still
    // be growing.
    uint64_t size = static_cast<uint64_t>(named.st_size > 0 ? named.st_size : 0);
    if (S_ISBLK(named.st_mode)) {
      off_t end = lseek(fd, 0, SEEK_END);
      size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    return std::make_unique<PosixFile>(fd, size);
  }

  if (S_ISFIFO(named.st_mode) || S_ISSOCK(named.st_mode)) {
    // A pipe or socket the process already holds (standard input, process
    // substitution) is read through its descriptor: a socket cannot be
    // opened by name. A named FIFO is opened, which waits for its writer.
    int fd = -1;
    if (int held = descriptorNamed(name, named); held >= 0) {
      fd = fcntl(held, F_DUPFD_CLOEXEC, 0);
    } else if (S_ISFIFO(named.st_mode)) {
      do {
        fd = ::open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
      } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) return nullptr;
    if (!sameObject(fd, named)) {
      ::close(fd);
      return nullptr;
    }
#ifdef F_SETPIPE_SZ
    // A larger pipe lets the writer run further ahead: fewer switches
    // between the two processes. Where it cannot be had, the pipe stays.
    if (S_ISFIFO(named.st_mode)) fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
    return std::make_unique<PosixStream>(fd);
  }

  // A directory, a terminal or another character device is no file.
  return nullptr;
}

StreamWrite writeStandardOutput(std::string_view bytes) { return writeAll(1, bytes); }
bool writeStandardError(std::string_view bytes) { return writeAll(2, bytes) == StreamWrite::WRITTEN; }
bool standardOutputIsFile() { return outputIsFile; }

bool toLocalTime(int64_t seconds, std::tm& local) {
  time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, &local) != nullptr;
}

#endif

}  // namespace ringlens
