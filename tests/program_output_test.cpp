// Whole-program tests of standard output as the process sees it: lost
// output (a full device, a closed descriptor), a reader that closes the
// pipe, a non-blocking pipe, the order of output and messages on one
// file or pipe, and how many writes a run makes (counted in a dynamically
// linked build of the program, into which a write(2) logger is loaded).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected_messages.h"
#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

// The program (`command`) started with `outFd` as its standard output and
// `errFd` as its standard error (-1: started without that stream),
// standard input from /dev/null, and an environment of TZ=UTC, `extraEnv`,
// and PATH, HOME and the WINE* settings. Descriptors made by the tests are
// close-on-exec, so the program holds no other end of a pipe.
pid_t startProgram(const std::vector<std::string>& args, int outFd, int errFd,
                   const std::map<std::string, std::string>& extraEnv = {},
                   std::vector<std::string> command = programCommand()) {
  command.insert(command.end(), args.begin(), args.end());
  std::map<std::string, std::string> env = extraEnv;
  env["TZ"] = "UTC";
  for (const char* keep : {"PATH", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEARCH", "WINEDLLOVERRIDES"}) {
    if (const char* value = std::getenv(keep); value && !env.count(keep)) env[keep] = value;
  }
  std::vector<std::string> environment;
  for (auto& [name, value] : env) environment.push_back(name + "=" + value);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (outFd >= 0) dup2(outFd, 1); else close(1);
    if (errFd >= 0) dup2(errFd, 2); else close(2);
    std::vector<char*> argv, envp;
    for (auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    for (auto& setting : environment) envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int waitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = ends[0];
    write = ends[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
};

// Reads until the end of the stream.
std::string readAll(int fd) {
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(chunk, static_cast<size_t>(n));
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A trace data file of `count` text records of different lengths, and the
// lines it gives.
struct ManyLines {
  std::string file, text;
  std::vector<size_t> lineLengths;
};
ManyLines manyLines(int count) {
  FileTraceBuilder trace;
  ManyLines m;
  for (int i = 0; i < count; ++i) {
    std::string text(static_cast<size_t>(i % 151), static_cast<char>('a' + i % 26));
    trace.text(i, text);
    std::string line = std::to_string(i) + "  " + text + "\n";
    m.text += line;
    m.lineLengths.push_back(expectedText(line).size());
  }
  m.file = trace.end().str();
  m.text = expectedText(m.text);
  return m;
}

MethodTableBuilder names() {
  MethodTableBuilder t;
  t.add(1, "Open").add(2, "Close");
  return t;
}

// A dump whose ring holds `entries` method entries, with the name tables
// when `withNames` is set and the trace buffers given, and the ring's lines.
struct RingDump {
  std::string file, text;
};
RingDump ringDump(int entries, const std::vector<std::string>& buffers = {}, bool withNames = true) {
  uint32_t blockSize = static_cast<uint32_t>(40 + 16 * entries + 64);
  MemoryTraceBuilder ring(0x00A41000, blockSize);
  RingDump d;
  for (int i = 0; i < entries; ++i) {
    ring.entry(i, 1);
    d.text += std::to_string(i) + " >Open\n";
  }
  ring.next(ring.cursor());
  DumpBuilder dump(1000);
  for (const std::string& buffer : buffers) dump.append(buffer);
  dump.append(ring.build());
  if (withNames) {
    dump.append(names().indexBlock());
    dump.append(names().methodBlock());
  }
  d.file = dump.str();
  return d;
}

bool underWine() { return expectsCrlf(); }

// The program itself is linked statically, where no library can be loaded
// into it; its dynamically linked build, from the same core library, is
// run with a write(2) logger loaded that appends a line per write to
// standard output ("asked returned errno") to `log`. Only where the tests
// run the program built here (no RINGLENS_TEST_PROGRAM or
// RINGLENS_TEST_LAUNCHER), and where the logger's path can be preloaded
// (LD_PRELOAD takes blanks and colons as separators).
bool writesCanBeLogged() {
  for (const char* name : {"RINGLENS_TEST_PROGRAM", "RINGLENS_TEST_LAUNCHER"}) {
    if (const char* value = std::getenv(name); value && *value) return false;
  }
  return std::string_view(RINGLENS_WRITE_LOG_SHIM).find_first_of(" \t:") == std::string_view::npos;
}
const std::vector<std::string> LOGGED_PROGRAM = {RINGLENS_LOGGED_PROGRAM};
std::map<std::string, std::string> writeLogEnv(const std::string& log) {
  return {{"LD_PRELOAD", RINGLENS_WRITE_LOG_SHIM}, {"RINGLENS_WRITE_LOG", log},
          {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
}

// ---------------------------------------------------------------------------
// Lost output

TEST(ProgramOutput, LostOutputEndsTheRunWithItsOwnStatusAndMessage) {
  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  const std::string buffer4 = traceBufferBlock('4', cstr("four"));
  struct Case {
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      {"a trace data file", manyLines(20).file},
      {"a dump", ringDump(20).file},
      // The trace buffers are lost before the missing block is found: the
      // run ends with the lost output, not with the block's status.
      {"a dump with a trace buffer and no trace index", ringDump(20, {buffer4}, false).file},
  };
  for (bool closedOutput : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (closedOutput ? ", standard output closed" : ", to /dev/full"));
      std::string input = dir.write("input", c.file);
      Pipe err;
      pid_t pid = startProgram({input}, closedOutput ? -1 : full, err.write);
      err.closeWrite();
      EXPECT_EQ(readAll(err.read), expectedText(OUTPUT_FAILED));
      EXPECT_EQ(waitForExit(pid), 104);
    }
  }
  close(full);
}

TEST(ProgramOutput, AFailedStandardErrorIsNotReported) {
  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  std::string trace = dir.write("a.trace", manyLines(3).file);
  std::string noIndex = dir.write("a.dmp", ringDump(3, {}, false).file);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int out, err;
    int status;
  };
  Pipe out;
  const Case cases[] = {
      {"lost output, standard error closed", {trace}, full, -1, 104},
      {"lost output, standard error full", {trace}, full, full, 104},
      {"the open message lost", {dir.path() + "/missing"}, out.write, full, 100},
      {"the missing-block message lost", {noIndex}, out.write, -1, 102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(waitForExit(startProgram(c.args, c.out, c.err)), c.status);
  }
  out.closeWrite();
  EXPECT_EQ(readAll(out.read), "");  // the ring comes after the blocks
  close(full);
}

// ---------------------------------------------------------------------------
// Readers of a pipe

// The reader takes the first line and closes the pipe: the program ends
// without a message and with the status the trace gives, and writes
// nothing after the write that found the pipe closed.
TEST(ProgramOutput, AReaderClosingThePipeEndsTheOutputQuietly) {
  TempDir dir;
  const std::string bigBuffer = traceBufferBlock('4', cstr(std::string(1 << 20, 'b')));
  struct Case {
    const char* name;
    std::string file;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"a long trace data file", manyLines(200000).file, "", 0},
      {"a dump with a long ring", ringDump(200000).file, "", 0},
      {"a long trace buffer, then no trace index", ringDump(10, {bigBuffer}, false).file, NO_TRACE_INDEX, 102},
  };
  // Reads the first bytes, closes the pipe, then checks standard error and
  // the status.
  auto closeAfterTheFirstRead = [](const Case& c, const std::string& input,
                                   const std::map<std::string, std::string>& env,
                                   const std::vector<std::string>& command) {
    Pipe out, err;
    pid_t pid = startProgram({input}, out.write, err.write, env, command);
    out.closeWrite();
    err.closeWrite();
    char first[16];
    EXPECT_GT(::read(out.read, first, sizeof first), 0);
    out.closeRead();
    EXPECT_EQ(readAll(err.read), expectedText(c.err));
    EXPECT_EQ(waitForExit(pid), c.status);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string input = dir.write("input", c.file);
    closeAfterTheFirstRead(c, input, {}, programCommand());
    if (!writesCanBeLogged()) continue;
    SCOPED_TRACE("writes logged");
    std::string log = dir.path() + "/writes.log";
    unlink(log.c_str());
    closeAfterTheFirstRead(c, input, writeLogEnv(log), LOGGED_PROGRAM);
    std::istringstream writes(readFile(log));
    size_t asked = 0, count = 0;
    long returned = 0;
    int error = 0;
    while (writes >> asked >> returned >> error) {
      ++count;
      if (returned < 0) break;
    }
    EXPECT_EQ(returned, -1);
    EXPECT_EQ(error, EPIPE);
    EXPECT_FALSE(writes >> asked) << "a write after the pipe was found closed";
    EXPECT_GT(count, 0u);
  }
}

// A reader that set the pipe non-blocking and reads slowly still gets
// every byte: the program waits whenever the pipe is full.
TEST(ProgramOutput, ANonBlockingPipeReadSlowlyGetsEveryByte) {
  if (underWine()) GTEST_SKIP() << "a non-blocking pipe is a POSIX reader's setting";
  TempDir dir;
  ManyLines lines = manyLines(30000);  // about 2.3 MB
  std::string input = dir.write("input.trace", lines.file);
  Pipe out, err;
  fcntl(out.write, F_SETFL, fcntl(out.write, F_GETFL) | O_NONBLOCK);
  pid_t pid = startProgram({input}, out.write, err.write);
  out.closeWrite();
  err.closeWrite();
  // Let the pipe fill, then take small pieces with pauses between them.
  usleep(100 * 1000);
  std::string got;
  char piece[512];
  for (int i = 0;; ++i) {
    ssize_t n = ::read(out.read, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(piece, static_cast<size_t>(n));
    if (i < 2000) usleep(100);
  }
  EXPECT_EQ(readAll(err.read), "");
  EXPECT_EQ(waitForExit(pid), 0);
  EXPECT_EQ(got.size(), lines.text.size());
  EXPECT_TRUE(got == lines.text);
}

// ---------------------------------------------------------------------------
// Order and hand-overs

// Trace-buffer text with no end of line, then a message: on one file or
// one pipe for both streams, the text comes first.
TEST(ProgramOutput, PendingTextComesBeforeEachMessage) {
  TempDir dir;
  const std::string shortText = "**TRACE_BUFFER_4: no end of line";
  const std::string longText(100000, 'L');  // more than one buffer
  const std::string buffer4 = traceBufferBlock('4', cstr("no end of line"));
  const std::string buffer5 = traceBufferBlock('5', cstr(longText));
  const std::string index = names().indexBlock(), method = names().methodBlock();
  const std::string ring = MemoryTraceBuilder(0x00A41000, 120).entry(1, 1).next(56).build();
  auto dump = [](const std::vector<std::string>& blocks) {
    DumpBuilder d(500);
    for (const std::string& b : blocks) d.append(b);
    return d.str();
  };
  struct Case {
    const char* name;
    std::string file;
    std::string expected;
    int status;
  };
  const Case cases[] = {
      {"no memory trace", dump({buffer4, index, method}), shortText + NO_MEMORY_TRACE, 101},
      {"no trace index", dump({buffer4, ring, method}), shortText + NO_TRACE_INDEX, 102},
      {"no trace method", dump({buffer4, ring, index}), shortText + NO_TRACE_METHOD, 103},
      {"a long buffer, no trace index", dump({buffer4, buffer5, ring, method}),
       shortText + "**TRACE_BUFFER_5: " + longText + NO_TRACE_INDEX, 102},
  };
  for (bool toFile : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (toFile ? ", to a file" : ", to a pipe"));
      std::string input = dir.write("input.dmp", c.file);
      std::string both;
      if (toFile) {
        std::string path = dir.path() + "/both.txt";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(waitForExit(startProgram({input}, fd, fd)), c.status);
        close(fd);
        both = readFile(path);
      } else {
        Pipe out;
        pid_t pid = startProgram({input}, out.write, out.write);
        out.closeWrite();
        both = readAll(out.read);
        EXPECT_EQ(waitForExit(pid), c.status);
      }
      EXPECT_EQ(both, expectedText(c.expected));
    }
  }
}

struct WriteLog {
  std::vector<size_t> sizes;
  bool allWhole = true;  // every write took all it was given
};

WriteLog readWriteLog(const std::string& path) {
  WriteLog log;
  std::istringstream in(readFile(path));
  size_t asked = 0;
  long returned = 0;
  int error = 0;
  while (in >> asked >> returned >> error) {
    log.sizes.push_back(asked);
    if (returned != static_cast<long>(asked)) log.allWhole = false;
  }
  return log;
}

// A pipe gets one write a line; a regular file gets full buffers.
TEST(ProgramOutput, OneWriteALineToAPipeAndFullBuffersToAFile) {
  if (!writesCanBeLogged()) GTEST_SKIP() << "counts the writes of the program built here";
  TempDir dir;
  ManyLines lines = manyLines(3000);  // about 240 KB
  constexpr size_t BUFFER = 64 * 1024;
  ASSERT_GT(lines.text.size(), 3 * BUFFER);
  std::string input = dir.write("input.trace", lines.file);
  std::string log = dir.path() + "/writes.log";
  const std::map<std::string, std::string> env = writeLogEnv(log);
  {
    SCOPED_TRACE("to a pipe");
    Pipe out;
    pid_t pid = startProgram({input}, out.write, -1, env, LOGGED_PROGRAM);
    out.closeWrite();
    EXPECT_TRUE(readAll(out.read) == lines.text);
    EXPECT_EQ(waitForExit(pid), 0);
    WriteLog writes = readWriteLog(log);
    EXPECT_TRUE(writes.allWhole);
    EXPECT_EQ(writes.sizes, lines.lineLengths);
  }
  unlink(log.c_str());
  {
    SCOPED_TRACE("to a regular file");
    std::string path = dir.path() + "/out.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(waitForExit(startProgram({input}, fd, -1, env, LOGGED_PROGRAM)), 0);
    close(fd);
    EXPECT_TRUE(readFile(path) == lines.text);
    WriteLog writes = readWriteLog(log);
    EXPECT_TRUE(writes.allWhole);
    std::vector<size_t> expected((lines.text.size() - 1) / BUFFER, BUFFER);
    expected.push_back(lines.text.size() - BUFFER * expected.size());
    EXPECT_EQ(writes.sizes, expected);
  }
}

}  // namespace
}  // namespace ringlens::testing
