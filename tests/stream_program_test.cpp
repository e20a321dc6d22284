// The whole program reading pipes, FIFOs, sockets, process substitution,
// /proc files and decompressors' output: each gives exactly the standard
// output, standard error and status of the same bytes in a regular file.
// These run the Linux program only (named so that the Windows run of the
// Program* suites leaves them out).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/container_cases.h"
#include "support/expected_messages.h"
#include "support/generated_inputs.h"
#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the program stopped reading
    done += static_cast<size_t>(n);
  }
}

enum class Way { PIPE_ON_STDIN, SOCKET_ON_STDIN, FIFO, PROCESS_SUBSTITUTION, CAT_TO_STDIN };
const Way EVERY_WAY[] = {Way::PIPE_ON_STDIN, Way::SOCKET_ON_STDIN, Way::FIFO, Way::PROCESS_SUBSTITUTION,
                         Way::CAT_TO_STDIN};
const char* nameOf(Way way) {
  switch (way) {
    case Way::PIPE_ON_STDIN: return "a pipe on /dev/stdin";
    case Way::SOCKET_ON_STDIN: return "a socket on /dev/stdin";
    case Way::FIFO: return "a FIFO";
    case Way::PROCESS_SUBSTITUTION: return "process substitution";
    case Way::CAT_TO_STDIN: return "cat FILE | ringlens /dev/stdin";
  }
  return "";
}

// Opens the FIFO for writing once a reader has it open, so that a writer
// never waits for a program that does not come.
int openFifoForWriting(const std::string& path) {
  for (int tries = 0; tries < 6000; ++tries) {  // 30 s at most
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

class StreamRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* custom = std::getenv("RINGLENS_TEST_PROGRAM"); custom && *custom) {
      GTEST_SKIP() << "streams are tested with the Linux program";
    }
    std::signal(SIGPIPE, SIG_IGN);  // a program that stops reading early
  }

  std::string file(const std::string& bytes) { return dir_.write("input" + std::to_string(files_++), bytes); }

  ProgramResult fromFile(const std::string& bytes) { return runProgram({file(bytes)}); }

  // Runs the program on `bytes` delivered the given way; a FIFO's writer
  // starts `writerDelay` after the program.
  ProgramResult through(Way way, const std::string& bytes,
                        std::chrono::milliseconds writerDelay = std::chrono::milliseconds(0),
                        const char* stdinName = "/dev/stdin") {
    const std::map<std::string, std::string> env = {{"TZ", "UTC"}};
    switch (way) {
      case Way::PIPE_ON_STDIN:
      case Way::SOCKET_ON_STDIN: {
        int ends[2];
        bool pipe = way == Way::PIPE_ON_STDIN;
        if ((pipe ? pipe2(ends, O_CLOEXEC) : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)) != 0) {
          throw std::runtime_error("pipe failed");
        }
        int readEnd = ends[0], writeEnd = ends[1];
        std::thread writer([&] {
          writeAll(writeEnd, bytes);
          ::close(writeEnd);
        });
        ProgramResult r = runCommandIn("", {RINGLENS_PROGRAM, stdinName}, env, readEnd);
        writer.join();
        return r;
      }
      case Way::FIFO: {
        std::string fifo = dir_.path() + "/fifo" + std::to_string(files_++);
        if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        std::thread writer([&] {
          std::this_thread::sleep_for(writerDelay);
          int fd = openFifoForWriting(fifo);
          if (fd < 0) return;
          writeAll(fd, bytes);
          ::close(fd);
        });
        ProgramResult r = runProgram({fifo});
        writer.join();
        return r;
      }
      case Way::PROCESS_SUBSTITUTION:
        return runCommandIn("", {"bash", "-c", "exec \"$1\" <(cat \"$2\" 2>/dev/null)", "bash", RINGLENS_PROGRAM, file(bytes)},
                            env);
      case Way::CAT_TO_STDIN:
        return runCommandIn("", {"bash", "-c", "cat \"$2\" 2>/dev/null | \"$1\" /dev/stdin", "bash", RINGLENS_PROGRAM,
                                 file(bytes)},
                            env);
    }
    return {};
  }

  void expectSameAsFile(const ProgramResult& r, const ProgramResult& file) {
    EXPECT_EQ(r.out, file.out);
    EXPECT_EQ(r.err, file.err);
    EXPECT_EQ(r.status, file.status);
  }

  TempDir dir_;
  int files_ = 0;
};

MethodTableBuilder names() {
  MethodTableBuilder t;
  t.add(1, "Open").add(2, "Close");
  return t;
}

// A dump of 300 KiB (more than one read of the scan and of a pipe) with
// the given blocks spread over it.
std::string dumpOf(const std::vector<std::string>& blocks) {
  DumpBuilder dump(300 * 1024);
  size_t at = 1000;
  for (const std::string& block : blocks) {
    dump.place(at, block);
    at += 70 * 1024 + 13;
  }
  return dump.str();
}

TEST_F(StreamRun, BothShapesEveryStatusAndDamagedInputsGiveWhatAFileGives) {
  MemoryTraceBuilder ringBuilder(0x00A41000, 200);
  ringBuilder.entry(1, 1).text(3, 12, "opened").exit(1, 2);
  const std::string ring = ringBuilder.next(ringBuilder.cursor()).build();
  const std::string buffer4 = traceBufferBlock('4', cstr("four\n"));
  const std::string buffer6 = traceBufferBlock('6', cstr("six"));
  const std::string buffers = "**TRACE_BUFFER_4: four\n**TRACE_BUFFER_6: six";
  std::string hostile = dumpOf({traceBufferBlockWithLength('4', 0xFFFFFFFF, cstr("long\n")), ring,
                                names().indexBlockWithLength(0xFFFFFFFF)});
  hostile += names().methodBlockWithLength(0xFFFFFFFF);  // its length reaches past the end
  std::string older = dumpOf({ring, names().indexBlock(), names().methodBlock(), traceBufferBlock('4', cstr("old\n"))});
  older += MemoryTraceBuilder(0x2000, 100).entry(7, 2).next(56).build() + traceBufferBlock('4', cstr("new\n"));

  struct Case {
    const char* name;
    std::string bytes;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {"a trace data file",
       FileTraceBuilder().time(1714557600).entry(3, "Open").text(12, std::string(100000, 't')).bareText(0, "b").str(),
       "----*Wed May 01 10:00:00 2024*----\n3 >Open\n12  " + std::string(100000, 't') + "\n b\n", "", 0},
      {"a trace data file ended by kind 0 before more records",
       FileTraceBuilder().entry(1, "Kept").end().raw(std::string(500000, 'x')).str(), "1 >Kept\n", "", 0},
      {"a trace data file cut short in a text", FileTraceBuilder().entry(1, "Open").recordWithLength(3, 2, 50, "cut").str(),
       "1 >Open\n2  cut\n", "", 0},
      {"only the file-trace signature", FileTraceBuilder().str(), "", "", 0},
      {"an empty input", "", "", NO_MEMORY_TRACE, 101},
      {"fewer than 18 bytes", "****FILE_TRACE**", "", NO_MEMORY_TRACE, 101},
      {"a whole dump", dumpOf({buffer6, ring, names().indexBlock(), names().methodBlock(), buffer4}),
       buffers + "1 >Open\n12  opened\n1 <Close\n", "", 0},
      {"no memory trace", dumpOf({buffer4, names().indexBlock(), names().methodBlock(), buffer6}), buffers,
       NO_MEMORY_TRACE, 101},
      {"no trace index", dumpOf({buffer4, ring, names().methodBlock(), buffer6}), buffers, NO_TRACE_INDEX, 102},
      {"no trace method", dumpOf({buffer4, ring, names().indexBlock(), buffer6}), buffers, NO_TRACE_METHOD, 103},
      {"a memory-trace signature at offset 0 only",
       DumpBuilder(3000).place(0, ring).place(1000, names().indexBlock()).place(2000, names().methodBlock()).str(), "",
       NO_MEMORY_TRACE, 101},
      {"length fields of 0xFFFFFFFF", hostile, "**TRACE_BUFFER_4: long\n1 >Open\n12  opened\n1 <Close\n", "", 0},
      {"later blocks replace earlier ones", older, "**TRACE_BUFFER_4: new\n7 >Close\n", "", 0},
      {"a dump cut short inside its ring", dumpOf({names().indexBlock(), names().methodBlock()}) + ring.substr(0, 76),
       "1 >Open\n12  open\n", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramResult file = fromFile(c.bytes);
    expectRun(file, c.out, c.err, c.status);
    for (Way way : EVERY_WAY) {
      SCOPED_TRACE(nameOf(way));
      expectSameAsFile(through(way, c.bytes), file);
    }
  }
}

// ELF core files and minidumps: the live memory-trace block through a
// pipe and a FIFO, from the headers at the stream's head.
TEST_F(StreamRun, ContainersGiveTheLiveBlockAFileGives) {
  for (const container_cases::ContainerCase& c : container_cases::containerCases()) {
    SCOPED_TRACE(c.name);
    ProgramResult file = fromFile(c.file);
    expectRun(file, c.out, "", 0);
    for (Way way : {Way::PIPE_ON_STDIN, Way::FIFO}) {
      SCOPED_TRACE(nameOf(way));
      expectSameAsFile(through(way, c.file), file);
    }
  }
}

TEST_F(StreamRun, GeneratedInputsGiveWhatAFileGives) {
  InputGenerator generate(99);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::string bytes = generate.any();
    ProgramResult file = fromFile(bytes);
    expectSameAsFile(through(round % 2 ? Way::PIPE_ON_STDIN : Way::FIFO, bytes), file);
  }
}

TEST_F(StreamRun, AFifoWaitsForAWriterThatComesLate) {
  std::string trace = FileTraceBuilder().entry(5, "Late").str();
  ProgramResult r = through(Way::FIFO, trace, std::chrono::milliseconds(400));
  expectRun(r, "5 >Late\n", "", 0);
}

TEST_F(StreamRun, EveryNameOfStandardInputReadsIt) {
  std::string trace = FileTraceBuilder().entry(4, "Named").str();
  for (const char* name : {"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"}) {
    for (Way way : {Way::PIPE_ON_STDIN, Way::SOCKET_ON_STDIN}) {
      SCOPED_TRACE(std::string(name) + ", " + nameOf(way));
      ProgramResult r = through(way, trace, std::chrono::milliseconds(0), name);
      expectRun(r, "4 >Named\n", "", 0);
    }
  }
}

TEST_F(StreamRun, ProcFilesAreReadAndCharacterDevicesRefused) {
  // A /proc file reports size 0 and holds text: a dump with no signature.
  ProgramResult proc = runProgram({"/proc/version"});
  expectRun(proc, "", NO_MEMORY_TRACE, 101);
  // Character devices are refused without being read (standard input is
  // /dev/null here).
  for (const char* device : {"/dev/zero", "/dev/null", "/dev/stdin"}) {
    SCOPED_TRACE(device);
    ProgramResult r = runProgram({device});
    expectRun(r, "", openFailed(device), 100);
  }
}

TEST_F(StreamRun, CompressedDumpsThroughTheirDecompressors) {
  MemoryTraceBuilder ring(0x4000, 300);
  ring.entry(1, 1).exit(1, 2);
  std::string dump = dumpOf({traceBufferBlock('5', cstr("compressed\n")), ring.next(ring.cursor()).build(),
                             names().indexBlock(), names().methodBlock()});
  std::string trace = FileTraceBuilder().entry(2, "Zipped").str();
  const std::string dumpOut = "**TRACE_BUFFER_5: compressed\n1 >Open\n1 <Close\n";
  struct Form {
    const char* tool;
    const char* compress;  // $1 the file, writes $1.z
    const char* format;    // $1 the program, $2 the compressed file
  } forms[] = {
      {"gzip", "gzip -c \"$1\" > \"$1.z\"", "gzip -dc \"$2\" | \"$1\" /dev/stdin"},
      {"zstd", "zstd -q -c \"$1\" > \"$1.z\"", "zstd -dc \"$2\" | \"$1\" /dev/stdin"},
      {"xz", "xz -c \"$1\" > \"$1.z\"", "exec \"$1\" <(xz -dc \"$2\")"},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.tool);
    if (std::system((std::string("command -v ") + form.tool + " >/dev/null").c_str()) != 0) {
      ADD_FAILURE() << form.tool << " is not installed (.ci/run installs it)";
      continue;
    }
    for (const auto& [bytes, out] : {std::pair{dump, dumpOut}, std::pair{trace, std::string("2 >Zipped\n")}}) {
      std::string path = file(bytes);
      ASSERT_EQ(runCommandIn("", {"bash", "-c", form.compress, "bash", path}, {}).status, 0);
      ProgramResult r = runCommandIn("", {"bash", "-c", form.format, "bash", RINGLENS_PROGRAM, path + ".z"}, {{"TZ", "UTC"}});
      expectRun(r, out, "", 0);
    }
  }
}

}  // namespace
}  // namespace ringlens::testing
