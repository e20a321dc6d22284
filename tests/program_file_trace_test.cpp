// Whole-program tests: the command line, the run outcome, and trace data
// files formatted end to end. Each case checks standard output, standard
// error and the exit status exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/expected_messages.h"
#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------
// Command line

TEST(ProgramCommandLine, UsageAndOpenFailures) {
  TempDir dir;
  std::string trace = dir.write("a.trace", FileTraceBuilder().entry(3, "Open").end().str());
  dir.write("?x", FileTraceBuilder().entry(1, "NeverRead").str());
  std::string missing = dir.path() + "/missing.trace";

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {"no argument", {}, "", USAGE, 99},
      {"question mark", {"?"}, "", USAGE, 99},
      {"question mark naming an existing file", {"?x"}, "", USAGE, 99},
      {"question mark then a file", {"?", trace}, "", USAGE, 99},
      {"slash question mark is a name", {"/?"}, "", openFailed("/?"), 100},
      {"missing file", {missing}, "", openFailed(missing), 100},
      {"empty argument", {""}, "", openFailed(""), 100},
      {"a directory", {dir.path()}, "", openFailed(dir.path()), 100},
      {"second argument ignored", {trace, "?"}, "3 >Open\n", "", 0},
      {"second argument missing file ignored", {trace, missing}, "3 >Open\n", "", 0},
      {"missing file then a good one", {missing, trace}, "", openFailed(missing), 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectRun(runProgramIn(dir.path(), c.args), c.out, c.err, c.status);
  }
}

TEST(ProgramCommandLine, NameWithBlanksIsOneArgument) {
  TempDir dir;
  std::string trace = dir.write("my trace file", FileTraceBuilder().exit(7, "Close").str());
  expectRun(runProgram({trace}), "7 <Close\n", "", 0);
}

// The input is only read: a read-only file formats, and neither its bytes
// nor its modification time change.
TEST(ProgramCommandLine, InputIsOpenedReadOnly) {
  TempDir dir;
  std::string bytes = FileTraceBuilder().entry(1, "Main").text(2, "still running").str();
  std::string path = dir.write("ro.trace", bytes);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  expectRun(runProgram({path}), "1 >Main\n2  still running\n", "", 0);

  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(readWhole(path), bytes);
  EXPECT_EQ(after.st_mode & 07777, 0444u);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_size, before.st_size);
}

// A file still being written: another process holds it open for writing.
TEST(ProgramCommandLine, FileOpenForWritingElsewhereFormats) {
  TempDir dir;
  std::string path = dir.write("live.trace", FileTraceBuilder().entry(1, "Main").str());
  int writer = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  expectRun(runProgram({path}), "1 >Main\n", "", 0);
  close(writer);
}

// ---------------------------------------------------------------------------
// Which shape: the first 18 bytes decide.

TEST(ProgramInputShape, SignatureDecides) {
  const std::string signature = "****FILE_TRACE****";
  std::string almost = signature;
  almost[17] = '!';
  struct Case {
    const char* name;
    std::string bytes;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {"only the signature", signature, "", "", 0},
      {"empty file is a dump", "", "", NO_MEMORY_TRACE, 101},
      {"17 bytes of the signature is a dump", signature.substr(0, 17), "", NO_MEMORY_TRACE, 101},
      {"one byte differs: a dump", almost + Bytes().u32(1).i32(1).u32(2).raw(cstr("A")).str(), "",
       NO_MEMORY_TRACE, 101},
      {"signature not at the start: a dump", " " + FileTraceBuilder().entry(1, "A").str(), "", NO_MEMORY_TRACE,
       101},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectRun(runProgram({dir.write("input", c.bytes)}), c.out, c.err, c.status);
  }
}

// ---------------------------------------------------------------------------
// Records of trace data files

struct RecordCase {
  const char* name;
  std::string bytes;  // the whole file
  std::string out;
};

void expectRecords(const std::vector<RecordCase>& cases) {
  TempDir dir;
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    expectRun(runProgram({dir.write("input.trace", c.bytes)}), c.out, "", 0);
  }
}

TEST(ProgramFileTrace, EachRecordKind) {
  expectRecords({
      {"entry", FileTraceBuilder().entry(3, "Open").str(), "3 >Open\n"},
      {"entry, negative number", FileTraceBuilder().entry(-5, "Init").str(), "-5 >Init\n"},
      {"exit", FileTraceBuilder().exit(-1, "Open").str(), "-1 <Open\n"},
      {"exit, empty text field", FileTraceBuilder().record(2, 7, "").str(), "7 <\n"},
      {"exit, text field only a NUL", FileTraceBuilder().exit(7, "").str(), "7 <\n"},
      {"text", FileTraceBuilder().text(12, "Hello world").str(), "12  Hello world\n"},
      {"text, number 0", FileTraceBuilder().text(0, "zero").str(), "0  zero\n"},
      {"bare text: its number is not written", FileTraceBuilder().bareText(77, "bare").str(), " bare\n"},
      {"unlisted kind 9 is written as text", FileTraceBuilder().record(9, 4, cstr("nine")).str(),
       "4  nine\n"},
      {"unlisted kind 0xFFFFFFFF", FileTraceBuilder().record(0xFFFFFFFF, 1, cstr("max")).str(), "1  max\n"},
      {"number extremes",
       FileTraceBuilder().entry(INT32_MIN, "lo").exit(INT32_MAX, "hi").str(),
       "-2147483648 >lo\n2147483647 <hi\n"},
      {"text field without NUL: all of it", FileTraceBuilder().record(3, 1, "abcd").entry(2, "Next").str(),
       "1  abcd\n2 >Next\n"},
      {"text stops at the first NUL; the field is still consumed",
       FileTraceBuilder().record(1, 1, std::string("ab\0zz\0", 6)).exit(1, "f").str(), "1 >ab\n1 <f\n"},
      {"newline inside a text", FileTraceBuilder().text(1, "two\nlines").str(), "1  two\nlines\n"},
      {"bytes as they are", FileTraceBuilder().text(1, "\x01\x7f\xff\t").str(), "1  \x01\x7f\xff\t\n"},
      {"every kind in sequence",
       FileTraceBuilder()
                     .entry(1, "Main")
                     .time(1615277103)
                     .text(2, "opened")
                     .bareText(9, "note")
                     .exit(1, "Main")
                     .end().str(),
       "1 >Main\n----*Tue Mar 09 08:05:03 2021*----\n2  opened\n note\n1 <Main\n"},
  });
}

TEST(ProgramFileTrace, KindZeroEndsTheRecords) {
  expectRecords({
      {"kind 0 right after the signature", FileTraceBuilder().end().entry(1, "Hidden").str(), ""},
      {"kind 0 after records", FileTraceBuilder().entry(1, "Shown").end().exit(1, "Hidden").str(),
       "1 >Shown\n"},
      {"kind 0 followed by garbage", FileTraceBuilder().end().raw("\x01\x02\x03").str(), ""},
      {"kind 0 as the last bytes", FileTraceBuilder().text(5, "last").end().str(), "5  last\n"},
  });
}

// A record cut short by the end of the file: fixed fields cut short give
// no line; a cut text field gives the bytes the file holds, up to a NUL.
TEST(ProgramFileTrace, CutShortRecords) {
  const std::string before = FileTraceBuilder().entry(1, "A").str();
  const std::string lineBefore = "1 >A\n";
  // A long text first, so that its bytes would show if a later, shorter
  // text were filled from stale bytes.
  const std::string longFirst = FileTraceBuilder().text(1, "LONGTEXTFIRST").str();
  expectRecords({
      {"kind field cut", before + Bytes().raw("\x01\x00").str(), lineBefore},
      {"time field cut", before + Bytes().u32(4).raw("\x10\x20").str(), lineBefore},
      {"time field missing", before + Bytes().u32(4).str(), lineBefore},
      {"number field cut", before + Bytes().u32(3).raw("\x05").str(), lineBefore},
      {"textLength field missing", before + Bytes().u32(3).i32(5).str(), lineBefore},
      {"textLength field cut", before + Bytes().u32(3).i32(5).raw("\x04\x00").str(), lineBefore},
      {"text field cut", before + FileTraceBuilder(false).recordWithLength(3, 5, 10, "abc").str(),
       lineBefore + "5  abc\n"},
      {"text field cut to nothing", before + FileTraceBuilder(false).recordWithLength(2, 6, 10, "").str(),
       lineBefore + "6 <\n"},
      {"cut text with a NUL", before + FileTraceBuilder(false).recordWithLength(3, 5, 10, std::string("ab\0c", 4)).str(),
       lineBefore + "5  ab\n"},
      {"cut text after a longer one: no stale bytes",
       longFirst + FileTraceBuilder(false).recordWithLength(3, 2, 13, "xy").str(), "1  LONGTEXTFIRST\n2  xy\n"},
      {"cut bare text", before + FileTraceBuilder(false).recordWithLength(5, 9, 100, "tail").str(),
       lineBefore + " tail\n"},
  });
}

// textLength above 4096: the whole field is consumed and the text up to
// its first NUL is written whole; the next record is still found.
TEST(ProgramFileTrace, LongTextFields) {
  std::string letters;
  for (int i = 0; i < 200000; ++i) letters += static_cast<char>('a' + i % 26);
  const std::string text5000 = letters.substr(0, 5000);
  const std::string text150k = letters.substr(0, 150000);
  // NUL at 4500 of a 6000-byte field; the bytes behind it are not text.
  std::string field6000 = letters.substr(0, 4500) + '\0' + std::string(1499, 'Z');
  // A field read in several pieces: the NUL lies in the first, text-like
  // bytes fill the later ones.
  std::string field100k = letters.substr(0, 1000) + '\0' + letters.substr(0, 98999);
  expectRecords({
      {"4096 bytes with no NUL",
       FileTraceBuilder().record(3, 1, letters.substr(0, 4096)).entry(2, "After").str(),
       "1  " + letters.substr(0, 4096) + "\n2 >After\n"},
      {"5000 bytes and a NUL",
       FileTraceBuilder().text(1, text5000).entry(2, "After").str(), "1  " + text5000 + "\n2 >After\n"},
      {"NUL inside a 6000-byte field",
       FileTraceBuilder().record(3, 1, field6000).exit(2, "After").str(),
       "1  " + letters.substr(0, 4500) + "\n2 <After\n"},
      {"NUL early in a 100000-byte field",
       FileTraceBuilder().record(3, 1, field100k).exit(2, "After").str(),
       "1  " + letters.substr(0, 1000) + "\n2 <After\n"},
      {"text larger than the output buffer",
       FileTraceBuilder().text(1, text150k).entry(2, "After").str(), "1  " + text150k + "\n2 >After\n"},
      {"textLength far beyond the file",
       FileTraceBuilder().entry(1, "A").recordWithLength(3, 2, 0xFFFFFFFF, "tail").str(),
       "1 >A\n2  tail\n"},
  });
}

// ---------------------------------------------------------------------------
// Time lines: the local time of the TZ given to the program.

// A Windows build (CR LF line ends) reads TZ only in its C runtime's own
// form, such as "EST5EDT"; zone names such as "Europe/Berlin" are for
// POSIX builds.
bool windowsBuild() { return expectsCrlf(); }

TEST(ProgramFileTrace, TimeLinesFollowTheTimeZone) {
  struct Case {
    const char* tz;
    int32_t time;
    const char* local;  // the 24-character time text
  };
  const Case cases[] = {
      {"UTC", 0, "Thu Jan 01 00:00:00 1970"},
      {"UTC", 1615277103, "Tue Mar 09 08:05:03 2021"},  // day, hours, minutes, seconds below 10
      {"UTC", INT32_MAX, "Tue Jan 19 03:14:07 2038"},
      {"UTC", -1, "Wed Dec 31 23:59:59 1969"},
      {"UTC", INT32_MIN, "Fri Dec 13 20:45:52 1901"},
      {"America/New_York", 1615277103, "Tue Mar 09 03:05:03 2021"},  // standard time
      {"America/New_York", 1625414400, "Sun Jul 04 12:00:00 2021"},  // daylight saving
      {"America/New_York", 0, "Wed Dec 31 19:00:00 1969"},
      {"America/New_York", INT32_MIN, "Fri Dec 13 15:45:52 1901"},
      {"Europe/Berlin", 1609459200, "Fri Jan 01 01:00:00 2021"},  // standard time
      {"Europe/Berlin", 1625414400, "Sun Jul 04 18:00:00 2021"},  // daylight saving
      {"Europe/Berlin", -1, "Thu Jan 01 00:59:59 1970"},
      {"EST5EDT", 1625414400, "Sun Jul 04 12:00:00 2021"},
      {"EST5EDT", 1609459200, "Thu Dec 31 19:00:00 2020"},
      {"EST5EDT", -1, "Wed Dec 31 18:59:59 1969"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.time));
    if (windowsBuild() && std::string(c.tz).find('/') != std::string::npos) continue;
    std::string path = dir.write("time.trace", FileTraceBuilder().time(c.time).entry(1, "Next").str());
    ProgramResult r = runProgram({path}, {{"TZ", c.tz}});
    std::string expected = "----*" + std::string(c.local) + "*----\n1 >Next\n";
    expectRun(r, expected, "", 0);
  }
}

}  // namespace
}  // namespace ringlens::testing
