// The commands in-process, with readers made up here, and the built
// program as a whole for what needs no reader.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ringlens.h"
#include "support/trace_builder.h"
#include "tool/commands.h"
#include "tool/exporters.h"
#include "tool_test_support.h"

namespace ringlens::tool {
namespace {

using ringlens::testing::runProgram;
using ringlens::testing::TempDir;

struct Ran {
  int status = -1;
  std::string out, err;
};

// Readers that hand on two records, whatever the file holds.
ToolReaders madeUpReaders(int dumpStatus = STATUS_OK) {
  ToolReaders readers;
  readers.readFileTrace = [](ByteSource& file, RecordConsumer& consumer) {
    TraceRecord t;
    t.kind = 4;
    t.offset = 18;
    t.number = 0;
    t.isTime = true;
    consumer.record(t);
    TraceRecord e;
    e.kind = 1;
    e.offset = 26;
    e.number = 1;
    e.hasNumber = true;
    e.mark = '>';
    e.text = "main";
    consumer.record(e);
    return FileTraceSummary{FileTraceEnd::END_RECORD, 43, 0, 2, };
    (void)file;
  };
  readers.readDump = [dumpStatus](ByteSource& file, RecordConsumer& consumer, ScanObserver* scan, DumpFacts& facts) {
    SignatureOccurrence found{Signature::MEMORY_TRACE, 0, 100};
    if (scan) scan->occurrence(found);
    facts.container = "elf-core";
    facts.occurrences.push_back({found, 0x10000064, true});
    facts.memoryTrace = 100;
    facts.traceBuffers[4] = 20;
    facts.choice = "the last live occurrence";
    facts.keep = {{20, 30}, {100, 60}};
    consumer.buffer({4, 20, "hello", false});
    if (dumpStatus == STATUS_OK) {
      TraceRecord m;
      m.kind = 2;
      m.offset = 140;
      m.number = 3;
      m.hasNumber = true;
      m.mark = '<';
      m.hasMethodId = true;
      m.methodId = 9;
      consumer.record(m);
      facts.ring = RingSummary{RingEnd::REACHED_NEXT, 1, 0, 56};
    }
    (void)file;
    return dumpStatus;
  };
  return readers;
}

Ran run(const std::vector<std::string>& args, ToolReaders readers = madeUpReaders()) {
  std::vector<const char*> argv = {"ringlens-tool"};
  for (auto& a : args) argv.push_back(a.c_str());
  CaptureSink sink;
  Ran r;
  {
    ToolOutput out(sink);
    ToolContext context{out, std::move(readers)};
    r.status = runTool(static_cast<int>(argv.size()), argv.data(), context);
  }
  r.out = sink.out;
  r.err = sink.err;
  return r;
}

const std::string TRY_HELP = "Run 'ringlens-tool --help' for more information.\n";

TEST(ToolCommandLine, WrongUsageNamesTheProblem) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "ringlens-tool: A subcommand is required\n"},
      {{"frobnicate", "x"}, "ringlens-tool: unknown command 'frobnicate' (inspect, extract or export)\n"},
      {{"export"}, "ringlens-tool: FILE is required\n"},
      {{"export", "--format=xml", "x"}, "ringlens-tool: --format: xml not in {jsonl,csv}\n"},
      {{"extract", "dump"}, "ringlens-tool: OUT is required\n"},
      {{"inspect", "--color", "x"}, "ringlens-tool: The following argument was not expected: --color\n"},
  };
  for (const auto& c : cases) {
    Ran r = run(c.args);
    EXPECT_EQ(r.status, STATUS_USAGE);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + TRY_HELP);
  }
}

TEST(ToolCommandLine, HelpAndVersion) {
  Ran help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: ringlens-tool [OPTIONS] SUBCOMMAND"), std::string::npos) << help.out;
  for (const char* command : {"inspect", "extract", "export"}) {
    Ran r = run({command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string("Usage: ringlens-tool ") + command), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  Ran version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("ringlens-tool ") + RINGLENS_VERSION + "\n");
}

TEST(ToolCommands, AnInputThatCannotBeOpened) {
  TempDir dir;
  for (const char* command : {"inspect", "export"}) {
    Ran missing = run({command, dir.path() + "/x"});
    EXPECT_EQ(missing.status, STATUS_OPEN_FAILED);
    EXPECT_EQ(missing.err, "ringlens-tool: cannot open '" + dir.path() + "/x': No such file or directory\n");
    Ran folder = run({command, dir.path()});
    EXPECT_EQ(folder.status, STATUS_OPEN_FAILED);
    EXPECT_EQ(folder.err, "ringlens-tool: cannot open '" + dir.path() + "': Is a directory\n");
  }
  Ran extract = run({"extract", dir.path() + "/x", dir.path() + "/out"});
  EXPECT_EQ(extract.status, STATUS_OPEN_FAILED);
  EXPECT_EQ(extract.err, "ringlens-tool: cannot open '" + dir.path() + "/x': No such file or directory\n");
}

TEST(ToolCommands, ExportWritesTheRecordsAndRinglensStatus) {
  TempDir dir;
  std::string trace = dir.write("t", ringlens::testing::FileTraceBuilder().time(0).entry(1, "main").end().str());
  std::string dump = dir.write("d", "not a trace data file");
  Ran jsonl = run({"export", trace});
  EXPECT_EQ(jsonl.status, 0);
  EXPECT_EQ(jsonl.err, "");
  EXPECT_EQ(jsonl.out,
            "{\"record\":\"time\",\"kind\":4,\"offset\":18,\"time\":0,\"utc\":\"1970-01-01T00:00:00Z\"}\n"
            "{\"record\":\"event\",\"kind\":1,\"offset\":26,\"number\":1,\"mark\":\">\",\"text\":\"main\"}\n");
  Ran csv = run({"export", "--format", "csv", trace});
  EXPECT_EQ(csv.status, 0);
  EXPECT_EQ(csv.out,
            std::string(CSV_HEADER) + "\r\n" +
                "time,4,18,,,0,1970-01-01T00:00:00Z,,,,,\r\nevent,1,26,1,\">\",,,,,,\"main\",\r\n");
  Ran ring = run({"export", dump});
  EXPECT_EQ(ring.status, 0);
  EXPECT_EQ(ring.out,
            "{\"record\":\"buffer\",\"number\":4,\"offset\":20,\"text\":\"hello\"}\n"
            "{\"record\":\"event\",\"kind\":2,\"offset\":140,\"number\":3,\"mark\":\"<\",\"methodId\":9,\"name\":null}\n");
  Ran missing = run({"export", dump}, madeUpReaders(STATUS_NO_TRACE_INDEX));
  EXPECT_EQ(missing.status, STATUS_NO_TRACE_INDEX);
  EXPECT_EQ(missing.out, "{\"record\":\"buffer\",\"number\":4,\"offset\":20,\"text\":\"hello\"}\n");
  EXPECT_EQ(missing.err, "ringlens-tool: '" + dump + "': Unable to find trace index signature in file.\n");
}

TEST(ToolCommands, LostStandardOutputEndsWith104) {
  TempDir dir;
  std::string trace = dir.write("t", ringlens::testing::FileTraceBuilder().time(0).str());
  testing::FailingSink sink;
  const char* argv[] = {"ringlens-tool", "export", trace.c_str()};
  int status;
  {
    ToolOutput out(sink);
    ToolContext context{out, madeUpReaders()};
    status = runTool(3, argv, context);
  }
  EXPECT_EQ(status, 104);
  EXPECT_EQ(sink.err, "ringlens-tool: Unable to write trace output.\n");
}

TEST(ToolCommands, InspectReportsInWordsAndAsJson) {
  TempDir dir;
  std::string trace = dir.write("t", ringlens::testing::FileTraceBuilder().time(0).entry(1, "main").end().str());
  Ran text = run({"inspect", trace});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out,
            "shape: trace data file\n"
            "size: 47 bytes\n"
            "records: 2 (entry 1, time 1)\n"
            "first time: 0 (1970-01-01T00:00:00Z)\n"
            "last time: 0 (1970-01-01T00:00:00Z)\n"
            "end: a record of kind 0 at offset 43, 0 bytes after it\n"
            "status: 0\n");
  std::string dump = dir.write("d", "not a trace data file");
  Ran dumpText = run({"inspect", dump}, madeUpReaders(STATUS_NO_TRACE_INDEX));
  EXPECT_EQ(dumpText.status, 0);
  EXPECT_EQ(dumpText.out,
            "shape: dump\n"
            "container: elf-core\n"
            "size: 21 bytes\n"
            "occurrences: 1\n"
            "  memoryTrace at offset 100 (0x64), address 0x10000064, live\n"
            "used:\n"
            "  memoryTrace: offset 100\n"
            "  traceIndex: none\n"
            "  traceMethod: none\n"
            "  traceBuffer 4: offset 20\n"
            "  choice: the last live occurrence\n"
            "ring: not walked, no traceIndex block\n"
            "records: 0\n"
            "buffers: 1\n"
            "status: 102 (Unable to find trace index signature in file.)\n");
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  for (const std::string& file : {trace, dump}) {
    Ran json = run({"inspect", "--json", file});
    EXPECT_EQ(json.status, 0);
    auto parsed = testing::renderWithPython("json", json.out);
    EXPECT_EQ(parsed.status, 0) << parsed.err << json.out;
  }
  Ran json = run({"inspect", "--json", dump});
  EXPECT_NE(json.out.find("\"traceBuffers\": {\n      \"4\": 20\n    }"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"end\": {\n    \"reason\": \"reached-next\""), std::string::npos) << json.out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ToolCommands, ExtractWritesThePlanTheReadersGive) {
  TempDir dir;
  std::string bytes = ringlens::testing::FileTraceBuilder().time(0).entry(1, "main").end().raw("after").str();
  std::string trace = dir.write("t", bytes);
  Ran r = run({"extract", trace, dir.path() + "/t.small"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir.path() + "/t.small"), bytes.substr(0, 47));  // through the kind-0 record

  std::string dumpBytes(200, 'z');
  std::string dump = dir.write("d", dumpBytes);
  r = run({"extract", dump, dir.path() + "/d.small"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The kept ranges close up, behind 20 zero bytes and one between them,
  // and 20 zero bytes end the file.
  std::string expected = std::string(20, '\0') + dumpBytes.substr(20, 30) + std::string(1, '\0') +
                         dumpBytes.substr(100, 60) + std::string(20, '\0');
  EXPECT_EQ(readFile(dir.path() + "/d.small"), expected);

  Ran again = run({"extract", dump, dir.path() + "/d.small"});
  EXPECT_EQ(again.status, 104);
  EXPECT_EQ(again.err, "ringlens-tool: '" + dir.path() + "/d.small' exists; --force replaces it\n");
  EXPECT_EQ(run({"extract", "--force", dump, dir.path() + "/d.small"}).status, 0);
}

TEST(ToolCommands, AReaderThisBuildLacksIsNamed) {
  TempDir dir;
  std::string dump = dir.write("d", "not a trace data file");
  std::string trace = dir.write("t", ringlens::testing::FileTraceBuilder().str());
  Ran r = run({"export", dump}, ToolReaders{});
  EXPECT_EQ(r.status, TOOL_STATUS_UNAVAILABLE);
  EXPECT_EQ(r.err, "ringlens-tool: '" + dump + "': reading dumps is not part of this build\n");
  r = run({"inspect", trace}, ToolReaders{});
  EXPECT_EQ(r.err, "ringlens-tool: '" + trace + "': reading trace data files is not part of this build\n");
}

TEST(ToolProgram, RunsAsAProgram) {
  auto version = runProgram({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("ringlens-tool ") + RINGLENS_VERSION + "\n");
  EXPECT_EQ(version.err, "");
  auto usage = runProgram({"export"});
  EXPECT_EQ(usage.status, 99);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "ringlens-tool: FILE is required\n" + TRY_HELP);
  auto missing = runProgram({"inspect", "/nonexistent/x"});
  EXPECT_EQ(missing.status, 100);
  EXPECT_EQ(missing.err, "ringlens-tool: cannot open '/nonexistent/x': No such file or directory\n");
  // Standard input is /dev/null here: an empty dump.
  auto empty = runProgram({"inspect", "-"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.err, "");
  EXPECT_EQ(empty.out,
            "shape: dump\ncontainer: raw\nsize: 0 bytes\noccurrences: 0\nused:\n  memoryTrace: none\n"
            "  traceIndex: none\n  traceMethod: none\nring: not walked, no memoryTrace block\nrecords: 0\n"
            "buffers: 0\nstatus: 101 (Unable to find trace signature in file.)\n");
}

}  // namespace
}  // namespace ringlens::tool
