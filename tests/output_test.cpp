// The output streams and line forms, in process: number and time text,
// and when TraceOutput hands bytes to its sink.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "support/capture_sink.h"
#include "support/in_memory.h"

namespace ringlens {
namespace {

using testing::CaptureSink;

std::string number(int32_t value) {
  char text[11];
  return {text, formatNumber(value, text)};
}

TEST(FormatNumber, SignedDecimalWithoutPadding) {
  EXPECT_EQ(number(0), "0");
  EXPECT_EQ(number(7), "7");
  EXPECT_EQ(number(-5), "-5");
  EXPECT_EQ(number(10), "10");
  EXPECT_EQ(number(-100), "-100");
  EXPECT_EQ(number(INT32_MAX), "2147483647");
  EXPECT_EQ(number(INT32_MIN), "-2147483648");
}

std::string timeText(int32_t seconds) {
  char text[24];
  formatTimeText(seconds, text);
  return {text, sizeof text};
}

TEST(FormatTimeText, LocalTimeInFixedFields) {
  struct Case {
    const char* tz;
    int32_t time;
    const char* local;
  };
  const Case cases[] = {
      {"UTC", 0, "Thu Jan 01 00:00:00 1970"},
      {"UTC", 1615277103, "Tue Mar 09 08:05:03 2021"},  // leading zeros everywhere
      {"UTC", 1640995199, "Fri Dec 31 23:59:59 2021"},  // last weekday and month names
      {"UTC", 1609632000, "Sun Jan 03 00:00:00 2021"},  // first weekday name
      {"UTC", INT32_MAX, "Tue Jan 19 03:14:07 2038"},
      {"UTC", -1, "Wed Dec 31 23:59:59 1969"},
      {"UTC", INT32_MIN, "Fri Dec 13 20:45:52 1901"},
      {"America/New_York", 1625414400, "Sun Jul 04 12:00:00 2021"},  // daylight saving
      {"America/New_York", 1615277103, "Tue Mar 09 03:05:03 2021"},
      {"Europe/Berlin", 1625414400, "Sun Jul 04 18:00:00 2021"},
      {"Europe/Berlin", 1609459200, "Fri Jan 01 01:00:00 2021"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.time));
    testing::ScopedTimeZone zone(c.tz);
    EXPECT_EQ(timeText(c.time), c.local);
  }
}

TEST(TraceOutput, EachLineIsHandedOverInOneWrite) {
  CaptureSink sink;
  {
    testing::ScopedTimeZone zone("UTC");
    TraceOutput out(sink);
    out.writeEventLine(true, -5, '>', "Init");
    out.writeEventLine(true, 0, ' ', "text");
    out.writeEventLine(false, 99, ' ', "bare");
    out.writeEventLine(true, 7, '<', "");
    out.writeTimeLine(1615277103);
    out.beginEventLine(true, 12, '<');
    out.writeText("in ");
    out.writeText("pieces");
    out.endLine();
  }
  std::vector<std::string> outWrites;
  for (const auto& w : sink.writes) {
    EXPECT_FALSE(w.toErr);
    outWrites.push_back(w.bytes);
  }
  EXPECT_EQ(outWrites, (std::vector<std::string>{"-5 >Init\n", "0  text\n", " bare\n", "7 <\n",
                                                 "----*Tue Mar 09 08:05:03 2021*----\n", "12 <in pieces\n"}));
  EXPECT_EQ(sink.err, "");
}

TEST(TraceOutput, TextWithoutEndOfLineWaitsForTheNextHandOver) {
  CaptureSink sink;
  {
    TraceOutput out(sink);
    out.writeText("**TRACE_BUFFER_4: a");
    out.writeText("b");
    EXPECT_TRUE(sink.writes.empty());
    out.writeEventLine(true, 1, '>', "Main");  // joins the pending text
    ASSERT_EQ(sink.writes.size(), 1u);
    EXPECT_EQ(sink.writes[0].bytes, "**TRACE_BUFFER_4: ab1 >Main\n");

    out.writeText("held");
    out.flush();
    out.flush();  // nothing pending: no empty write
    ASSERT_EQ(sink.writes.size(), 2u);
    EXPECT_EQ(sink.writes[1].bytes, "held");

    out.writeText("until the end");
  }
  ASSERT_EQ(sink.writes.size(), 3u);
  EXPECT_EQ(sink.writes[2].bytes, "until the end");
}

TEST(TraceOutput, PendingOutputGoesOutBeforeAMessage) {
  CaptureSink sink;
  {
    TraceOutput out(sink);
    out.writeText("**TRACE_BUFFER_5: no end of line");
    out.writeMessage("Unable to find trace signature in file.");
    out.writeMessage("second");
  }
  ASSERT_EQ(sink.writes.size(), 3u);
  EXPECT_FALSE(sink.writes[0].toErr);
  EXPECT_EQ(sink.writes[0].bytes, "**TRACE_BUFFER_5: no end of line");
  EXPECT_TRUE(sink.writes[1].toErr);
  EXPECT_EQ(sink.writes[1].bytes, "Unable to find trace signature in file.\n");
  EXPECT_TRUE(sink.writes[2].toErr);
  EXPECT_EQ(sink.writes[2].bytes, "second\n");
}

// Texts around and beyond the buffer's size come out whole and in order,
// with no empty writes and none larger than needed for a buffered text.
TEST(TraceOutput, TextsLargerThanTheBufferComeOutWhole) {
  constexpr size_t B = TraceOutput::BUFFER_SIZE;
  const std::string head = "head ";
  for (size_t size : {B - head.size() - 1, B - head.size(), B - head.size() + 1, B - 1, B, B + 1, 3 * B + 17}) {
    SCOPED_TRACE(size);
    std::string big(size, '\0');
    for (size_t i = 0; i < size; ++i) big[i] = static_cast<char>('A' + i % 23);
    CaptureSink sink;
    {
      TraceOutput out(sink);
      out.beginEventLine(true, 3, ' ');
      out.writeText(head);
      out.writeText(big);
      out.writeText(" tail");
      out.endLine();
      out.writeEventLine(true, 4, '>', "next");
    }
    EXPECT_EQ(sink.out, "3  " + head + big + " tail\n4 >next\n");
    for (const auto& w : sink.writes) {
      EXPECT_FALSE(w.bytes.empty());
      EXPECT_FALSE(w.toErr);
    }
    EXPECT_EQ(sink.writes.back().bytes, "4 >next\n");
  }
}

// Fails the first write to standard output or to standard error, as told,
// and counts every write it is handed. A failed standard output fails as
// a closed pipe does when `readerClosed` is set.
class FailingSink : public OutputSink {
 public:
  FailingSink(bool failOut, bool failErr, bool readerClosed = false)
      : failOut_(failOut), failErr_(failErr), readerClosed_(readerClosed) {}
  bool writeOut(std::string_view bytes) override {
    outWrites.emplace_back(bytes);
    return !(failOut_ && outWrites.size() == 1);
  }
  bool writeErr(std::string_view bytes) override {
    errWrites.emplace_back(bytes);
    return !(failErr_ && errWrites.size() == 1);
  }
  bool readerClosed() const override { return readerClosed_; }
  std::vector<std::string> outWrites, errWrites;

 private:
  bool failOut_, failErr_, readerClosed_;
};

// Lost output ends the run with its own message and status; a closed pipe
// ends the output quietly and leaves the status and messages alone.
TEST(TraceOutput, AFailedStandardOutputTakesNoMoreText) {
  for (bool readerClosed : {false, true}) {
    SCOPED_TRACE(readerClosed ? "reader closed" : "write failed");
    FailingSink sink(/*failOut=*/true, /*failErr=*/false, readerClosed);
    int status;
    {
      TraceOutput out(sink);
      EXPECT_TRUE(out.outputOpen());
      out.writeEventLine(true, 1, '>', "lost");
      EXPECT_FALSE(out.outputOpen());
      EXPECT_EQ(out.failed(), !readerClosed);
      out.writeEventLine(true, 2, '>', "dropped");
      out.writeTimeLine(0);
      out.beginEventLine(true, 3, ' ');
      out.writeText(std::string(TraceOutput::BUFFER_SIZE * 2, 'x'));
      out.endLine();
      out.writeText("pending");
      out.writeMessage("Unable to find trace signature in file.");
      status = out.finish(101);
    }
    EXPECT_EQ(sink.outWrites, std::vector<std::string>{"1 >lost\n"});
    if (readerClosed) {
      EXPECT_EQ(sink.errWrites, std::vector<std::string>{"Unable to find trace signature in file.\n"});
      EXPECT_EQ(status, 101);
    } else {
      EXPECT_EQ(sink.errWrites, std::vector<std::string>{"Unable to write trace output.\n"});
      EXPECT_EQ(status, 104);
    }
  }
}

TEST(TraceOutput, AFailedStandardErrorIsNotReported) {
  FailingSink sink(/*failOut=*/false, /*failErr=*/true);
  int status;
  {
    TraceOutput out(sink);
    out.writeMessage("lost");
    out.writeMessage("dropped");
    out.writeEventLine(true, 1, '>', "still written");
    EXPECT_TRUE(out.outputOpen());
    EXPECT_FALSE(out.failed());
    status = out.finish(0);
  }
  EXPECT_EQ(sink.errWrites, std::vector<std::string>{"lost\n"});
  EXPECT_EQ(sink.outWrites, std::vector<std::string>{"1 >still written\n"});
  EXPECT_EQ(status, 0);
}

// Standard output as a regular file: full buffers only, and what is
// pending before a message and at the end, with every byte in order.
TEST(TraceOutput, ARegularFileGetsFullBuffers) {
  constexpr size_t B = TraceOutput::BUFFER_SIZE;
  CaptureSink sink;
  sink.live = false;
  std::string expected;
  {
    testing::ScopedTimeZone zone("UTC");
    TraceOutput out(sink);
    for (int i = 0; i < 5000; ++i) {
      // Lines of every form, so that each one at some point meets the
      // buffer's end.
      out.writeEventLine(true, -i, '>', "Method" + std::to_string(i));
      out.writeTimeLine(i);
      out.beginEventLine(i % 2 == 0, i, ' ');
      out.writeText("in ");
      out.writeText("pieces");
      out.endLine();
      char time[24];
      formatTimeText(i, time);
      expected += std::to_string(-i) + " >Method" + std::to_string(i) + "\n----*" + std::string(time, 24) +
                  "*----\n" + (i % 2 == 0 ? std::to_string(i) + " " : "") + " in pieces\n";
    }
    out.writeText(std::string(3 * B + 5, 'L'));
    expected += std::string(3 * B + 5, 'L');
    out.writeText("**TRACE_BUFFER_4: no end of line");
    expected += "**TRACE_BUFFER_4: no end of line";
    out.writeMessage("Unable to find trace signature in file.");
    out.writeEventLine(true, 1, '<', "after");
    EXPECT_EQ(out.finish(101), 101);
  }
  ASSERT_GT(expected.size(), 5 * B);
  EXPECT_EQ(sink.out, expected + "1 <after\n");
  // Full buffers (one text larger than the buffer goes out as it is), the
  // rest before the message, and the last line at the end.
  ASSERT_GE(sink.writes.size(), 4u);
  size_t i = 0, written = 0;
  for (; i < sink.writes.size() && !sink.writes[i].toErr; ++i) {
    written += sink.writes[i].bytes.size();
    if (i + 2 < sink.writes.size() && !sink.writes[i + 1].toErr) {
      EXPECT_TRUE(sink.writes[i].bytes.size() == B || sink.writes[i].bytes.size() > 2 * B) << i;
    }
  }
  EXPECT_EQ(written, expected.size());
  ASSERT_EQ(i + 2, sink.writes.size());
  EXPECT_EQ(sink.writes[i].bytes, "Unable to find trace signature in file.\n");
  EXPECT_EQ(sink.writes[i + 1].bytes, "1 <after\n");
}

}  // namespace
}  // namespace ringlens

#include "dump_trace/dump_trace.h"
#include "file_trace/file_trace.h"
#include "support/trace_builder.h"
#include "trace_lines.h"

namespace ringlens {
namespace {

class RecordCounter final : public RecordConsumer {
 public:
  bool record(const TraceRecord&) override {
    ++records;
    return true;
  }
  uint64_t records = 0;
};

TEST(FileTrace, SaysWhyTheRecordsEnded) {
  using testing::FileTraceBuilder;
  const std::string two = FileTraceBuilder().entry(1, "A").time(0).str();  // 18 + 14, then 8
  struct Case {
    const char* name;
    std::string file;
    FileTraceEnd end;
    uint64_t offset, missing, records;
  } cases[] = {
      {"end of the file at a kind", two, FileTraceEnd::END_OF_FILE, 40, 0, 2},
      {"a kind-0 record", FileTraceBuilder().entry(1, "A").end().entry(2, "B").str(), FileTraceEnd::END_RECORD, 32, 0, 1},
      {"a kind cut short", two + "\x01", FileTraceEnd::CUT_SHORT, 40, 3, 2},
      {"fixed fields cut short", two + testing::Bytes().u32(3).i32(1).str(), FileTraceEnd::CUT_SHORT, 40, 4, 2},
      {"a text cut short", two + FileTraceBuilder(false).recordWithLength(3, 1, 10, "abc").str(),
       FileTraceEnd::CUT_SHORT, 40, 7, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(c.file.data()), c.file.size()));
    RecordCounter counter;
    FileTraceSummary summary = readFileTrace(source, counter);
    EXPECT_EQ(summary.end, c.end);
    EXPECT_EQ(summary.offset, c.offset);
    EXPECT_EQ(summary.missingBytes, c.missing);
    EXPECT_EQ(summary.records, c.records);
    EXPECT_EQ(counter.records, c.records);
  }
}

// The line writer tells the readers to stop at the first write that finds
// standard output gone, a closed pipe or a failed write alike: nothing is
// read, decoded or looked up for output that nobody takes.
TEST(TraceLineWriter, TheReadersStopAtTheWriteThatFindsTheOutputGone) {
  using testing::FileTraceBuilder;
  using testing::MemoryTraceBuilder;
  auto sourceOf = [](const std::string& bytes) {
    return MemorySource(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  };
  FileTraceBuilder fileTrace;
  MemoryTraceBuilder ring(0x00A41000, 40 + 16 * 50 + 64);
  for (int i = 0; i < 50; ++i) {
    fileTrace.entry(i, "Open").text(i, "text");
    ring.entry(i, 1);
  }
  const std::string file = fileTrace.end().str();
  const std::string ringBlock = ring.next(ring.cursor()).build();
  for (bool readerClosed : {true, false}) {
    SCOPED_TRACE(readerClosed ? "reader closed" : "write failed");
    {
      FailingSink sink(/*failOut=*/true, /*failErr=*/false, readerClosed);
      TraceOutput out(sink);
      TraceLineWriter lines(out);
      MemorySource source = sourceOf(file);
      FileTraceSummary summary = readFileTrace(source, lines);
      EXPECT_EQ(summary.end, FileTraceEnd::STOPPED);
      EXPECT_EQ(summary.records, 1u);
      EXPECT_EQ(sink.outWrites.size(), 1u);
    }
    {
      FailingSink sink(/*failOut=*/true, /*failErr=*/false, readerClosed);
      TraceOutput out(sink);
      TraceLineWriter lines(out);
      MemorySource source = sourceOf(ringBlock);
      MethodNames names;
      RingSummary summary = walkMemoryTrace(loadMemoryTrace(source, 0), names, lines);
      EXPECT_EQ(summary.end, RingEnd::STOPPED);
      EXPECT_EQ(summary.records, 1u);
      EXPECT_EQ(sink.outWrites.size(), 1u);
    }
  }
}

}  // namespace
}  // namespace ringlens
