// The JSON Lines and CSV exporters on records made up here, line for line,
// and read back by Python's json and csv modules into ringlens's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/exporters.h"
#include "tool_test_support.h"

namespace ringlens::tool {
namespace {

// One call of the consumer interface.
struct Step {
  enum { RECORD, BUFFER, MORE, DONE } call;
  TraceRecord record{};
  TraceBufferText buffer{};
  std::string piece;
};

TraceRecord time(uint64_t offset, int32_t seconds) {
  TraceRecord r;
  r.kind = 4;
  r.offset = offset;
  r.number = seconds;
  r.isTime = true;
  return r;
}

TraceRecord event(uint32_t kind, uint64_t offset, int32_t number, bool hasNumber, char mark, std::string_view text) {
  TraceRecord r;
  r.kind = kind;
  r.offset = offset;
  r.number = number;
  r.hasNumber = hasNumber;
  r.mark = mark;
  r.text = text;
  return r;
}

TraceRecord method(uint32_t kind, uint64_t offset, int32_t number, char mark, uint32_t id,
                   std::optional<std::string_view> name) {
  TraceRecord r = event(kind, offset, number, true, mark, "");
  r.hasMethodId = true;
  r.methodId = id;
  r.name = name;
  return r;
}

TraceBufferText bufferText(uint32_t number, uint64_t offset, std::string_view text, bool continues = false) {
  return {number, offset, text, continues};
}

// A made-up run: buffers, a ring with names and without, texts in pieces
// and bytes that are not UTF-8, with the text ringlens writes for it.
struct Run {
  std::vector<Step> steps;
  std::string ringlensText;  // with TZ=UTC
};

const Run& sampleRun() {
  static const Run run = [] {
    Run r;
    auto add = [&](Step s) { r.steps.push_back(std::move(s)); };
    add({Step::BUFFER, {}, bufferText(4, 4096, "started, pid 4711\n\"quoted\""), ""});
    TraceBufferText split = bufferText(6, 8192, "part one \xE2\x82", true);
    add({Step::BUFFER, {}, split, ""});
    add({Step::MORE, {}, {}, "\xAC, part two \xFF"});
    add({Step::DONE, {}, {}, ""});
    add({Step::RECORD, time(100, 1714557600), {}, ""});
    add({Step::RECORD, method(1, 112, 2, '>', 7, "syncWarehouse"), {}, ""});
    add({Step::RECORD, method(1, 128, -5, '>', 99, std::nullopt), {}, ""});
    add({Step::RECORD, method(2, 144, 3, '<', 98, std::nullopt), {}, ""});
    add({Step::RECORD, method(6, 160, 0, '<', 8, std::string_view("caf\xE9")), {}, ""});
    add({Step::RECORD, event(3, 176, 499, true, ' ', "items, compared"), {}, ""});
    add({Step::RECORD, event(5, 200, 0, false, ' ', "bare \"text\"\r\nwith lines"), {}, ""});
    add({Step::RECORD, event(3, 230, 12, true, ' ', "long "), {}, ""});
    r.steps.back().record.textContinues = true;
    add({Step::MORE, {}, {}, "text in "});
    add({Step::MORE, {}, {}, "three pieces"});
    // No recordDone: the next record ends the one before.
    add({Step::RECORD, time(300, -1), {}, ""});
    add({Step::RECORD, event(7, 312, 1, true, ' ', ""), {}, ""});
    r.ringlensText =
        "**TRACE_BUFFER_4: started, pid 4711\n\"quoted\""
        "**TRACE_BUFFER_6: part one \xE2\x82\xAC, part two \xFF"
        "----*Wed May 01 10:00:00 2024*----\n"
        "2 >syncWarehouse\n"
        "-5 >Entry Name Unknown\n"
        "3 <Exit Name Unknown\n"
        "0 <caf\xE9\n"
        "499  items, compared\n"
        " bare \"text\"\r\nwith lines\n"
        "12  long text in three pieces\n"
        "----*Wed Dec 31 23:59:59 1969*----\n"
        "1  \n";
    return r;
  }();
  return run;
}

void play(const std::vector<Step>& steps, RecordExporter& exporter) {
  for (const Step& s : steps) {
    switch (s.call) {
      case Step::RECORD: ASSERT_TRUE(exporter.record(s.record)); break;
      case Step::BUFFER: ASSERT_TRUE(exporter.buffer(s.buffer)); break;
      case Step::MORE: ASSERT_TRUE(exporter.moreText(s.piece)); break;
      case Step::DONE: ASSERT_TRUE(exporter.recordDone()); break;
    }
  }
  ASSERT_TRUE(exporter.finish());
}

template <class Exporter>
std::string exported(const std::vector<Step>& steps) {
  CaptureSink sink;
  {
    ToolOutput out(sink);
    Exporter exporter(out);
    play(steps, exporter);
  }
  return sink.out;
}

const std::string R = "\xEF\xBF\xBD";

TEST(ToolExport, JsonLinesHaveTheirExactForms) {
  EXPECT_EQ(exported<JsonLinesExporter>(sampleRun().steps),
            "{\"record\":\"buffer\",\"number\":4,\"offset\":4096,\"text\":\"started, pid 4711\\n\\\"quoted\\\"\"}\n"
            "{\"record\":\"buffer\",\"number\":6,\"offset\":8192,\"text\":\"part one \xE2\x82\xAC, part two " + R +
                "\",\"textBytes\":\"70617274206f6e6520e282ac2c20706172742074776f20ff\"}\n"
            "{\"record\":\"time\",\"kind\":4,\"offset\":100,\"time\":1714557600,\"utc\":\"2024-05-01T10:00:00Z\"}\n"
            "{\"record\":\"event\",\"kind\":1,\"offset\":112,\"number\":2,\"mark\":\">\",\"methodId\":7,"
            "\"name\":\"syncWarehouse\"}\n"
            "{\"record\":\"event\",\"kind\":1,\"offset\":128,\"number\":-5,\"mark\":\">\",\"methodId\":99,\"name\":null}\n"
            "{\"record\":\"event\",\"kind\":2,\"offset\":144,\"number\":3,\"mark\":\"<\",\"methodId\":98,\"name\":null}\n"
            "{\"record\":\"event\",\"kind\":6,\"offset\":160,\"number\":0,\"mark\":\"<\",\"methodId\":8,\"name\":\"caf" + R +
                "\",\"nameBytes\":\"636166e9\"}\n"
            "{\"record\":\"event\",\"kind\":3,\"offset\":176,\"number\":499,\"mark\":\" \",\"text\":\"items, compared\"}\n"
            "{\"record\":\"event\",\"kind\":5,\"offset\":200,\"mark\":\" \",\"text\":\"bare \\\"text\\\"\\r\\nwith lines\"}\n"
            "{\"record\":\"event\",\"kind\":3,\"offset\":230,\"number\":12,\"mark\":\" \","
            "\"text\":\"long text in three pieces\"}\n"
            "{\"record\":\"time\",\"kind\":4,\"offset\":300,\"time\":-1,\"utc\":\"1969-12-31T23:59:59Z\"}\n"
            "{\"record\":\"event\",\"kind\":7,\"offset\":312,\"number\":1,\"mark\":\" \",\"text\":\"\"}\n");
}

TEST(ToolExport, CsvRowsHaveTheirExactForms) {
  std::string rows = exported<CsvExporter>(sampleRun().steps);
  EXPECT_EQ(rows,
            "record,kind,offset,number,mark,time,utc,methodId,name,nameBytes,text,textBytes\r\n"
            "buffer,,4096,4,,,,,,,\"started, pid 4711\n\"\"quoted\"\"\",\r\n"
            "buffer,,8192,6,,,,,,,\"part one \xE2\x82\xAC, part two " + R +
                "\",70617274206f6e6520e282ac2c20706172742074776f20ff\r\n"
            "time,4,100,,,1714557600,2024-05-01T10:00:00Z,,,,,\r\n"
            "event,1,112,2,\">\",,,7,\"syncWarehouse\",,,\r\n"
            "event,1,128,-5,\">\",,,99,,,,\r\n"
            "event,2,144,3,\"<\",,,98,,,,\r\n"
            "event,6,160,0,\"<\",,,8,\"caf" + R + "\",636166e9,,\r\n"
            "event,3,176,499,\" \",,,,,,\"items, compared\",\r\n"
            "event,5,200,,\" \",,,,,,\"bare \"\"text\"\"\r\nwith lines\",\r\n"
            "event,3,230,12,\" \",,,,,,\"long text in three pieces\",\r\n"
            "time,4,300,,,-1,1969-12-31T23:59:59Z,,,,,\r\n"
            "event,7,312,1,\" \",,,,,,\"\",\r\n");
}

TEST(ToolExport, PythonReadsBothFormsBackIntoRinglensText) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  auto jsonl = testing::renderWithPython("jsonl", exported<JsonLinesExporter>(sampleRun().steps));
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  EXPECT_EQ(jsonl.out, sampleRun().ringlensText);
  auto csv = testing::renderWithPython("csv", exported<CsvExporter>(sampleRun().steps));
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, sampleRun().ringlensText);
}

TEST(ToolExport, ALongTextInPiecesKeepsEveryByte) {
  // More than the keeper holds in memory, with one bad byte at the very
  // end: the hexadecimal copy must still hold every byte.
  std::string piece(64 * 1024, 'x');
  size_t pieces = TextBytesKeeper::MEMORY_LIMIT / piece.size() + 3;
  std::vector<Step> steps;
  TraceRecord first = event(3, 18, 1, true, ' ', piece);
  first.textContinues = true;
  steps.push_back({Step::RECORD, first, {}, ""});
  for (size_t i = 1; i < pieces; ++i) steps.push_back({Step::MORE, {}, {}, piece});
  steps.push_back({Step::MORE, {}, {}, "\x80"});
  steps.push_back({Step::DONE, {}, {}, ""});
  std::string line = exported<JsonLinesExporter>(steps);
  std::string text(pieces * piece.size(), 'x');
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) hex += "78";
  EXPECT_EQ(line, "{\"record\":\"event\",\"kind\":3,\"offset\":18,\"number\":1,\"mark\":\" \",\"text\":\"" + text + R +
                      "\",\"textBytes\":\"" + hex + "80\"}\n");
}

TEST(ToolExport, KeeperGivesBackWhatItWasGivenPastItsMemoryLimit) {
  TextBytesKeeper keeper;
  std::string all;
  for (int i = 0; all.size() < 3 * TextBytesKeeper::MEMORY_LIMIT; ++i) {
    std::string piece(7919, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(keeper.add(piece));
    all += piece;
  }
  std::string back;
  ASSERT_TRUE(keeper.replay([&](std::string_view bytes) { back += bytes; }));
  EXPECT_EQ(back.size(), all.size());
  EXPECT_TRUE(back == all);
  keeper.clear();
  ASSERT_TRUE(keeper.add("again"));
  back.clear();
  ASSERT_TRUE(keeper.replay([&](std::string_view bytes) { back += bytes; }));
  EXPECT_EQ(back, "again");
}

TEST(ToolExport, StopsTheReaderOnceStandardOutputFails) {
  testing::FailingSink sink;
  ToolOutput out(sink);
  JsonLinesExporter exporter(out);
  std::string text(ToolOutput::BUFFER_SIZE, 'y');  // fills the buffer: it is handed over
  bool taken = true;
  for (int i = 0; i < 3 && taken; ++i) taken = exporter.record(event(3, 18, 1, true, ' ', text));
  EXPECT_FALSE(taken);
  EXPECT_FALSE(exporter.finish());
}

}  // namespace
}  // namespace ringlens::tool
