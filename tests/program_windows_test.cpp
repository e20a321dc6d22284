// Whole-program tests of what only a Windows build does: arguments that are
// not wildcard-expanded, text streams with CR LF line ends, and input
// files shared with other Windows processes. They run where the program
// writes CR LF line ends (RINGLENS_TEST_CRLF=1, the Windows build under
// Wine) and are skipped elsewhere.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

class ProgramWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!expectsCrlf()) GTEST_SKIP() << "the program under test is not a Windows build";
  }
};

std::string openFailed(const std::string& name) { return "Unable to open trace file - " + name + "\r\n"; }

// An argument is a file name as typed: no wildcard expansion, blanks kept
// inside double quotes, and the open message shows it unchanged.
TEST_F(ProgramWindows, ArgumentsAreTakenAsTyped) {
  TempDir dir;
  // Files that a wildcard expansion would find, each a good trace.
  dir.write("a.dmp", FileTraceBuilder().entry(1, "A").end().str());
  dir.write("b.dmp", FileTraceBuilder().entry(2, "B").end().str());
  const std::string names[] = {
      "*.dmp",
      dir.path() + "/*.dmp",
      dir.path() + "/?.dmp",
      dir.path() + "/no such  file.dmp",  // two blanks in a row
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ProgramResult r = runProgramIn(dir.path(), {name, "second argument"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, openFailed(name));
    EXPECT_EQ(r.status, 100);
  }
}

TEST_F(ProgramWindows, NewlinesInsideTextsBecomeCrLf) {
  TempDir dir;
  // Every newline byte becomes CR LF, one already behind a CR included;
  // every other byte, a Ctrl-Z among them, is written as it is.
  std::string file = dir.write("texts.trace", FileTraceBuilder()
                                                   .text(12, "one\ntwo")
                                                   .bareText(0, "cr\r\nlf\x1a end\n")
                                                   .exit(-1, "\n")
                                                   .end()
                                                   .str());
  ProgramResult r = runProgram({file});
  EXPECT_EQ(r.out, "12  one\r\ntwo\r\n cr\r\r\nlf\x1a end\r\n\r\n-1 <\r\n\r\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // Trace-buffer texts likewise, before the message of a dump without a
  // memory trace.
  DumpBuilder dump(64);
  dump.append(traceBufferBlock('4', cstr("first\nsecond\n")));
  dump.append(traceBufferBlock('5', cstr("no line end")));
  std::string dumpFile = dir.write("buffers.dmp", dump.str());
  r = runProgram({dumpFile});
  EXPECT_EQ(r.out, "**TRACE_BUFFER_4: first\r\nsecond\r\n**TRACE_BUFFER_5: no line end");
  EXPECT_EQ(r.err, "Unable to find trace signature in file.\r\n");
  EXPECT_EQ(r.status, 101);
}

// The Windows form of a path, on Wine's drive Z: that maps the Unix root.
std::string winePath(const std::string& path) {
  std::string converted = "Z:" + path;
  for (char& c : converted) {
    if (c == '/') c = '\\';
  }
  return converted;
}

TEST_F(ProgramWindows, ReadsAFileThatAnotherProcessHoldsOpenForWriting) {
  // The command interpreter opens the trace for appending (standard error
  // of the program redirected into it) and keeps it open, with write
  // access, while the program reads it. An open that does not share
  // writing fails then, and the message would land in the trace.
  std::vector<std::string> command = programCommand();
  if (command.size() < 2) GTEST_SKIP() << "needs Wine: RINGLENS_TEST_LAUNCHER=wine";
  std::string program = winePath(command.back());
  command.pop_back();

  TempDir dir;
  std::string trace = FileTraceBuilder().entry(3, "Open").exit(3, "Open").end().str();
  std::string file = dir.write("held.trace", trace);
  command.insert(command.end(), {"cmd", "/c", program + " " + winePath(file) + " 2>>" + winePath(file)});
  ProgramResult r = runCommandIn("", command, {{"TZ", "UTC"}});
  EXPECT_EQ(r.out, "3 >Open\r\n3 <Open\r\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  // Nothing went to standard error, so the trace is unchanged.
  std::ifstream in(file, std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, trace);
}

}  // namespace
}  // namespace ringlens::testing
