// Inputs that once broke something, found by fuzzing under the sanitizers,
// each rebuilt here with the builders. They are most useful in the
// sanitizer build of the tests, where the fault they recall would be
// reported; everywhere they also check the output exactly.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "input_file.h"
#include "output.h"
#include "run.h"
#include "support/expected_messages.h"
#include "support/in_memory.h"
#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {


// The dump blocks every ring case below shares: one method named Open.
std::string withNameTables(const std::string& ring) {
  MethodTableBuilder methods;
  methods.add(1, "Open");
  DumpBuilder dump(16);
  dump.append(ring);
  dump.append(methods.indexBlock());
  dump.append(methods.methodBlock());
  return dump.str();
}

// Empty texts whose bytes lie at or past the end of what was read came as
// views with no data, and were handed to memcpy as a null pointer.
TEST(Regression, EmptyTextAtTheEndOfTheData) {
  // A trace buffer whose textLength field is the file's last four bytes:
  // its text holds no byte of the file.
  DumpBuilder bufferAtEnd(32);
  bufferAtEnd.append(traceBufferBlockWithLength('4', 1000, ""));
  Formatted buffer = format(bufferAtEnd.str());
  EXPECT_EQ(buffer.out, "**TRACE_BUFFER_4: ");
  EXPECT_EQ(buffer.err, NO_MEMORY_TRACE);
  EXPECT_EQ(buffer.status, 101);

  // A text record whose 16 fixed bytes end exactly at the end of the
  // memory-trace block: its text starts past the copy's last byte.
  MemoryTraceBuilder ring(0x1000, 56);
  ring.lay(Bytes().u32(16).u32(3).i32(7).u32(0).str());  // length, kind 3, number, methodId
  ring.oldest(40).next(40);
  Formatted text = format(withNameTables(ring.build()));
  EXPECT_EQ(text.out, "7  \n");
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.status, 0);
}

// ---------------------------------------------------------------------------
// The input is only ever read. Running as root, a file's permission bits do
// not stop a writer, so the kernel's own account is asked: inotify reports
// whether each open of the file was closed after reading or after writing.

class FileWatch {
 public:
  explicit FileWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_CLOSE_NOWRITE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB);
  }
  ~FileWatch() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // The event masks seen so far, or-ed together.
  uint32_t events() {
    uint32_t seen = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        seen |= event->mask;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return seen;
  }

 private:
  int fd_;
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ProgramReadOnlyInput, NeitherShapeIsOpenedForWriting) {
  MemoryTraceBuilder ring(0x1000, 120);
  ring.entry(1, 1).exit(2, 1);
  ring.next(ring.cursor());
  struct Case {
    const char* name;
    std::string bytes;
    std::string out;
  } cases[] = {
      {"file.trace", FileTraceBuilder().entry(1, "Main").end().str(), "1 >Main\n"},
      {"process.dmp", withNameTables(ring.build()), "1 >Open\n2 <Open\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string path = dir.write(c.name, c.bytes);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    FileWatch watch(path);
    ASSERT_TRUE(watch.ok()) << "inotify: " << errno;

    expectRun(runProgram({path}), c.out, "", 0);

    uint32_t events = watch.events();
    EXPECT_NE(events & IN_CLOSE_NOWRITE, 0u) << "the program did not open the file";
    EXPECT_EQ(events & (IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB), 0u) << "events " << std::hex << events;
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(readWhole(path), c.bytes);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }
}

}  // namespace
}  // namespace ringlens::testing
