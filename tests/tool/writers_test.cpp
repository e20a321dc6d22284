// The JSON and CSV writers, the UTF-8 cleaning they share, and UTC times.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include "tool/csv_writer.h"
#include "tool/json_writer.h"
#include "tool/utc_time.h"
#include "tool/utf8_text.h"
#include "tool_test_support.h"

namespace ringlens::tool {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct CleanCase {
  const char* what;
  std::string bytes;
  std::string clean;
};

const std::vector<CleanCase>& cleanCases() {
  static const std::vector<CleanCase> cases = {
      {"ASCII", "plain text", "plain text"},
      {"two, three and four bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"lone continuation byte", "a\x80z", "a" + R + "z"},
      {"Latin-1 byte", "caf\xE9!", "caf" + R + "!"},
      {"overlong two-byte form", "\xC0\x80", R + R},
      {"overlong three-byte form", "\xE0\x80\x80", R + R + R},
      {"surrogate", "\xED\xA0\x80", R + R + R},
      {"past U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"F5 and FF", "\xF5\xFF", R + R},
      {"sequence cut by the end", "ab\xE2\x82", "ab" + R + R},
      {"sequence cut by an ASCII byte", "\xE2\x82" "A", R + R + "A"},
      {"lead byte after a cut lead byte", "\xE2\xE2\x82\xAC", R + "\xE2\x82\xAC"},
  };
  return cases;
}

TEST(ToolUtf8, EachBadByteBecomesOneReplacementCharacter) {
  for (const auto& c : cleanCases()) {
    bool invalid = false;
    EXPECT_EQ(cleanUtf8(c.bytes, &invalid), c.clean) << c.what;
    EXPECT_EQ(invalid, c.clean != c.bytes) << c.what;
  }
}

TEST(ToolUtf8, PiecesGiveWhatTheWholeTextGives) {
  // Every split into two and into single bytes: a sequence split between
  // pieces is held over, never replaced.
  for (const auto& c : cleanCases()) {
    for (size_t cut = 0; cut <= c.bytes.size(); ++cut) {
      Utf8Cleaner cleaner;
      std::string clean;
      auto emit = [&](std::string_view part) { clean += part; };
      cleaner.feed(std::string_view(c.bytes).substr(0, cut), emit);
      cleaner.feed(std::string_view(c.bytes).substr(cut), emit);
      cleaner.finish(emit);
      EXPECT_EQ(clean, c.clean) << c.what << ", cut at " << cut;
      EXPECT_EQ(cleaner.invalid(), c.clean != c.bytes) << c.what;
    }
    Utf8Cleaner cleaner;
    std::string clean;
    auto emit = [&](std::string_view part) { clean += part; };
    for (char b : c.bytes) cleaner.feed(std::string_view(&b, 1), emit);
    cleaner.finish(emit);
    EXPECT_EQ(clean, c.clean) << c.what << ", byte by byte";
  }
}

TEST(ToolUtf8, HexIsLowercaseTwoDigitsAByte) {
  std::string hex;
  appendHex(hex, std::string("\x00\x0f\xab\xff" "A", 5));
  EXPECT_EQ(hex, "000fabff41");
}

std::string json(const std::function<void(JsonWriter&)>& write, int indent = 0) {
  CaptureSink sink;
  {
    ToolOutput out(sink);
    JsonWriter w(out, indent);
    write(w);
  }
  return sink.out;
}

TEST(ToolJsonWriter, EscapesPerRfc8259) {
  std::string doc = json([](JsonWriter& w) {
    static const char bytes[] = "q\" b\\ n\n r\r t\t \x01 \x1f \x7f \0 /\xE9";
    w.string(std::string(bytes, sizeof bytes - 1));
    w.endDocument();
  });
  EXPECT_EQ(doc, "\"q\\\" b\\\\ n\\n r\\r t\\t \\u0001 \\u001f \x7f \\u0000 /" + R + "\"\n");
}

TEST(ToolJsonWriter, ObjectsArraysAndScalars) {
  auto write = [](JsonWriter& w) {
    w.beginObject();
    w.key("a");
    w.number(-2147483648LL);
    w.key("b");
    w.beginArray();
    w.boolean(true);
    w.boolean(false);
    w.null();
    w.unsignedNumber(18446744073709551615ULL);
    w.beginObject();
    w.endObject();
    w.beginArray();
    w.endArray();
    w.endArray();
    w.key("c\n");
    w.beginString();
    w.stringPiece("ab\xE2\x82");
    w.stringPiece("\xAC" "cd");
    EXPECT_TRUE(w.endString());
    w.endObject();
    w.endDocument();
  };
  EXPECT_EQ(json(write),
            "{\"a\":-2147483648,\"b\":[true,false,null,18446744073709551615,{},[]],\"c\\n\":\"ab\xE2\x82\xAC" "cd\"}\n");
  EXPECT_EQ(json(write, 2),
            "{\n  \"a\": -2147483648,\n  \"b\": [\n    true,\n    false,\n    null,\n    18446744073709551615,\n"
            "    {},\n    []\n  ],\n  \"c\\n\": \"ab\xE2\x82\xAC" "cd\"\n}\n");
}

TEST(ToolJsonWriter, PythonParsesEveryByteValue) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  // Every byte value in a string, one document per line: each line must
  // parse, and the strings hold what the cleaning says.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string lines = json([&](JsonWriter& w) {
    for (size_t i = 0; i < all.size(); i += 16) {
      w.beginObject();
      w.key("record");
      w.asciiString("event");
      w.key("kind");
      w.number(3);
      w.key("offset");
      w.number(static_cast<int64_t>(i));
      w.key("number");
      w.number(1);
      w.key("mark");
      w.asciiString(" ");
      w.key("text");
      w.string(all.substr(i, 16));
      w.endObject();
      w.endDocument();
    }
  });
  auto r = testing::renderWithPython("jsonl", lines);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected;
  for (size_t i = 0; i < all.size(); i += 16) expected += "1  " + cleanUtf8(all.substr(i, 16)) + "\n";
  EXPECT_EQ(r.out, expected);
}

std::string csv(const std::function<void(CsvWriter&)>& write) {
  CaptureSink sink;
  {
    ToolOutput out(sink);
    CsvWriter w(out);
    write(w);
  }
  return sink.out;
}

TEST(ToolCsvWriter, QuotesOnlyWhatNeedsQuotes) {
  std::string rows = csv([](CsvWriter& w) {
    w.field("plain");
    w.field("a,b");
    w.field("say \"hi\"");
    w.field("cr\rlf\n");
    w.field("");
    w.number(-7);
    w.unsignedNumber(42);
    w.emptyField();
    w.endRow();
    w.quotedField("");
    w.beginQuotedField();
    w.quotedPiece("x\"");
    w.quotedPiece("\xC3");
    w.quotedPiece("\xA9\xFF");
    EXPECT_FALSE(w.endQuotedField());
    w.endRow();
  });
  EXPECT_EQ(rows, "plain,\"a,b\",\"say \"\"hi\"\"\",\"cr\rlf\n\",,-7,42,\r\n\"\",\"x\"\"\xC3\xA9" + R + "\"\r\n");
}

TEST(ToolUtcTime, KnownTimesAndEdges) {
  struct Case {
    int64_t seconds;
    const char* utc;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},           {-1, "1969-12-31T23:59:59Z"},
      {INT32_MIN, "1901-12-13T20:45:52Z"},   {INT32_MAX, "2038-01-19T03:14:07Z"},
      {951782400, "2000-02-29T00:00:00Z"},   {1714557600, "2024-05-01T10:00:00Z"},
      {-86400, "1969-12-31T00:00:00Z"},      {-2208988800, "1900-01-01T00:00:00Z"},
      {4107542399, "2100-02-28T23:59:59Z"},  {4107542400, "2100-03-01T00:00:00Z"},
  };
  for (const auto& c : cases) {
    char text[20];
    formatUtc(c.seconds, text);
    EXPECT_EQ(std::string(text, 20), c.utc) << c.seconds;
  }
}

TEST(ToolUtcTime, AgreesWithTheCLibraryOverThe32BitRange) {
  for (int64_t t = INT32_MIN; t <= INT32_MAX; t += 86399 * 7 + 3) {
    char text[20];
    formatUtc(t, text);
    time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &tm);
    ASSERT_EQ(std::string(text, 20), expected) << t;
  }
}

}  // namespace
}  // namespace ringlens::tool
