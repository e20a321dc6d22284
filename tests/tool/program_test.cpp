// The built ringlens-tool as a whole, on the shipped samples and on made-up
// trace data files and dumps of every status, sound and damaged: exports
// read back by Python's json and csv modules into exactly the text
// ringlens writes, inspect reports that Python reads, extracts that
// ringlens formats alike, standard input, and every exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ringlens.h"
#include "support/container_builder.h"
#include "support/in_memory.h"
#include "support/trace_builder.h"
#include "tool_test_support.h"

namespace ringlens::tool {
namespace {

using namespace ringlens::testing;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string messageOf(int status) {
  switch (status) {
    case STATUS_NO_MEMORY_TRACE: return std::string(MSG_NO_MEMORY_TRACE);
    case STATUS_NO_TRACE_INDEX: return std::string(MSG_NO_TRACE_INDEX);
    case STATUS_NO_TRACE_METHOD: return std::string(MSG_NO_TRACE_METHOD);
    default: return "";
  }
}

struct Input {
  std::string name, bytes;
};

// A sound dump: buffers, a wrapped ring with every kind, method names (one
// not UTF-8, one with a newline), and texts long enough to come in pieces.
std::string soundDump(bool withMemory = true, bool withIndex = true, bool withMethod = true) {
  MethodTableBuilder methods;
  methods.add(1, "Open").add(2, "Read\xff\xfe").add(3, "two\nlines").add(4, "Gr\xc3\xbc\xc3\x9f" "e");
  MemoryTraceBuilder ring(0x7FFF0000, 400);
  ring.wrapReserve(60).entry(10, 1).exit(11, 9).text(3, -4, "comma, \"quote\"").at(200).time(1714558740)
      .entry(7, 2).method(6, 8, 3).text(5, 99, "bare \x80 byte").method(0, 1, 4);
  ring.oldest(200).next(ring.cursor() > 300 ? 40 : 88);
  ring.oldest(200).next(88);
  DumpBuilder dump(300);
  dump.place(20, traceBufferBlock('4', cstr("four\n")));
  dump.place(60, traceBufferBlock('2', cstr("never written\n")));
  dump.append(traceBufferBlock('9', cstr(std::string(70000, 'n') + "\n")));
  if (withMemory) dump.append(ring.build());
  if (withIndex) dump.append(methods.indexBlock());
  dump.append(std::string(33, '.'));
  if (withMethod) dump.append(methods.methodBlock());
  dump.append(std::string(10, '.'));
  return dump.str();
}

std::vector<Input> inputs() {
  std::vector<Input> all = {
      {"sample.dmp", readFile(std::string(RINGLENS_SAMPLES_DIR) + "/sample.dmp")},
      {"sample.trace", readFile(std::string(RINGLENS_SAMPLES_DIR) + "/sample.trace")},
      {"trace every kind",
       FileTraceBuilder().time(1700000000).entry(3, "Open").text(12, "a,\"b\"\r\nc").bareText(99, "bare")
           .exit(-1, "\xc3(").record(9, 7, "no NUL").text(1, std::string(70000, 't')).time(-1).end().raw("more").str()},
      {"trace cut in a text", FileTraceBuilder().entry(1, "Run").recordWithLength(3, 2, 500, "short").str()},
      {"trace cut in a kind", FileTraceBuilder().entry(1, "Run").raw("\x01\x00").str()},
      {"trace signature only", FileTraceBuilder().str()},
      {"dump", soundDump()},
      {"dump without memory trace", soundDump(false)},
      {"dump without trace index", soundDump(true, false)},
      {"dump without trace method", soundDump(true, true, false)},
      {"dump cut short", soundDump().substr(0, 71000)},
      {"empty file", ""},
      {"dump of hostile lengths",
       DumpBuilder(100).str() + traceBufferBlockWithLength('5', 0xFFFFFFFFu, "to the end") },
  };
  return all;
}

TEST(ToolProgram, ExportsReadBackIntoRinglensText) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  ScopedTimeZone utc("UTC");
  TempDir dir;
  int n = 0;
  for (const Input& input : inputs()) {
    std::string file = dir.write("input" + std::to_string(n++), input.bytes);
    Formatted ringlens = format(input.bytes);
    std::string err = ringlens.status == 0 ? "" : "ringlens-tool: '" + file + "': " + messageOf(ringlens.status) + "\n";
    for (const char* form : {"jsonl", "csv"}) {
      ProgramResult r = runProgram({"export", std::string("--format=") + form, file});
      EXPECT_EQ(r.status, ringlens.status) << input.name << " " << form;
      EXPECT_EQ(r.err, err) << input.name << " " << form;
      auto rendered = testing::renderWithPython(form, r.out);
      EXPECT_EQ(rendered.status, 0) << input.name << " " << form << ": " << rendered.err;
      EXPECT_EQ(rendered.out, ringlens.out) << input.name << " " << form;
    }
  }
}

TEST(ToolProgram, InspectReportsWhatRinglensEndsWith) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  ScopedTimeZone utc("UTC");
  TempDir dir;
  int n = 0;
  for (const Input& input : inputs()) {
    std::string file = dir.write("input" + std::to_string(n++), input.bytes);
    Formatted ringlens = format(input.bytes);
    ProgramResult json = runProgram({"inspect", "--json", file});
    EXPECT_EQ(json.status, 0) << input.name;
    EXPECT_EQ(json.err, "") << input.name;
    auto facts = testing::renderWithPython("inspect-facts", json.out);
    ASSERT_EQ(facts.status, 0) << input.name << ": " << facts.err << json.out;
    EXPECT_NE(facts.out.find("\nstatus " + std::to_string(ringlens.status) + "\n"), std::string::npos)
        << input.name << "\n" << facts.out;
    ProgramResult text = runProgram({"inspect", file});
    EXPECT_EQ(text.status, 0) << input.name;
    std::string message = messageOf(ringlens.status);
    std::string last = "status: " + std::to_string(ringlens.status) + (message.empty() ? "" : " (" + message + ")") + "\n";
    ASSERT_GE(text.out.size(), last.size());
    EXPECT_EQ(text.out.substr(text.out.size() - last.size()), last) << input.name;
  }
}

TEST(ToolProgram, InspectOfTheSampleDump) {
  ProgramResult r = runProgram({"inspect", "--json", std::string(RINGLENS_SAMPLES_DIR) + "/sample.dmp"});
  ASSERT_EQ(r.status, 0);
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  auto facts = testing::renderWithPython("inspect-facts", r.out);
  EXPECT_EQ(facts.out,
            "shape dump\ncontainer raw\nstatus 0\nrecords 19\n"
            "used memoryTrace 2560\nused traceIndex 2048\nused traceMethod 2304\n"
            "used traceBuffer 4 512\nused traceBuffer 6 1280\n"
            "occurrence traceBuffer 4 512 None None\noccurrence traceBuffer 6 1280 None None\n"
            "occurrence traceIndex 2048 None None\noccurrence traceMethod 2304 None None\n"
            "occurrence memoryTrace 2560 None None\nend reached-next\n");
}

// An ELF core file with the live memory-trace block in its first range, a
// stale copy in the second and another in bytes no range maps.
TEST(ToolProgram, InspectOfAContainer) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  MethodTableBuilder methods;
  methods.add(1, "Open");
  MemoryTraceBuilder ring(0x500010, 200);
  ring.entry(1, 1);
  ring.next(ring.cursor());
  const std::string live = ring.build();
  ElfCoreBuilder elf;
  elf.segment(0x500000, std::string(16, '.') + live).segment(0x600000, std::string(8, '.') + live + methods.indexBlock() +
                                                                        methods.methodBlock());
  const std::string dump = elf.build() + "tail" + live;
  TempDir dir;
  std::string file = dir.write("core", dump);
  ProgramResult r = runProgram({"inspect", "--json", file});
  ASSERT_EQ(r.status, 0) << r.err;
  auto facts = testing::renderWithPython("inspect-facts", r.out);
  ASSERT_EQ(facts.status, 0) << facts.err << r.out;
  const size_t first = elf.segmentOffset(0) + 16, second = elf.segmentOffset(1) + 8;
  const size_t index = second + live.size(), method = index + methods.indexLength(), unmapped = dump.size() - live.size();
  auto n = [](size_t v) { return std::to_string(v); };
  EXPECT_EQ(facts.out, "shape dump\ncontainer elf-core\nstatus 0\nrecords 1\n"
                       "used memoryTrace " + n(first) + "\nused traceIndex " + n(index) + "\nused traceMethod " + n(method) +
                       "\noccurrence memoryTrace " + n(first) + " " + n(0x500010) + " True"
                       "\noccurrence memoryTrace " + n(second) + " " + n(0x600008) + " False"
                       "\noccurrence traceIndex " + n(index) + " " + n(0x600008 + live.size()) + " None"
                       "\noccurrence traceMethod " + n(method) + " " + n(0x600008 + live.size() + methods.indexLength()) +
                       " None\noccurrence memoryTrace " + n(unmapped) + " None False\nend reached-next\n");
  ProgramResult text = runProgram({"inspect", file});
  EXPECT_NE(text.out.find("  choice: the last live memory-trace occurrence"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(", address 0x500010, live\n"), std::string::npos) << text.out;
}

TEST(ToolProgram, ExtractsFormatAsTheirInputs) {
  ScopedTimeZone utc("UTC");
  TempDir dir;
  int n = 0;
  for (const Input& input : inputs()) {
    std::string file = dir.write("input" + std::to_string(n), input.bytes);
    std::string out = dir.path() + "/extract" + std::to_string(n++);
    ProgramResult r = runProgram({"extract", file, out});
    expectRun(r, "", "", 0);
    std::string extract = readFile(out);
    Formatted original = format(input.bytes), small = format(extract);
    EXPECT_EQ(small.status, original.status) << input.name;
    EXPECT_EQ(small.out, original.out) << input.name;
    EXPECT_EQ(small.err, original.err) << input.name;
    EXPECT_LE(extract.size(), input.bytes.size() + 40) << input.name;
  }
  // The sample dump's extract: its five blocks and little else.
  std::string out = dir.path() + "/sample.small";
  expectRun(runProgram({"extract", std::string(RINGLENS_SAMPLES_DIR) + "/sample.dmp", out}), "", "", 0);
  EXPECT_LT(readFile(out).size(), 1000u);
}

// Standard input: a regular file (read where it lies) and a pipe (read
// through once), for each command.
TEST(ToolProgram, StandardInput) {
  if (!testing::havePython()) GTEST_SKIP() << "no python3";
  ScopedTimeZone utc("UTC");
  TempDir dir;
  std::string program = programCommand().back();
  for (const Input& input : {inputs()[0], inputs()[2], inputs()[8]}) {
    std::string file = dir.write("input", input.bytes);
    Formatted ringlens = format(input.bytes);
    std::string err = ringlens.status == 0 ? "" : "ringlens-tool: standard input: " + messageOf(ringlens.status) + "\n";
    for (std::string how : {"< '" + file + "'", "cat '" + file + "' |"}) {
      auto shell = [&](const std::string& command) {
        std::string line = how[0] == '<' ? "'" + program + "' " + command + " " + how : how + " '" + program + "' " + command;
        return runCommandIn("", {"/bin/sh", "-c", line}, {{"TZ", "UTC"}});
      };
      ProgramResult exported = shell("export -");
      EXPECT_EQ(exported.status, ringlens.status) << input.name << " " << how;
      EXPECT_EQ(exported.err, err) << input.name << " " << how;
      EXPECT_EQ(testing::renderWithPython("jsonl", exported.out).out, ringlens.out) << input.name << " " << how;
      ProgramResult inspect = shell("inspect --json -");
      EXPECT_EQ(inspect.status, 0);
      EXPECT_EQ(testing::renderWithPython("inspect-facts", inspect.out).status, 0) << inspect.out;
      std::string out = dir.path() + "/from-stdin";
      std::remove(out.c_str());
      ProgramResult extract = shell("extract - '" + out + "'");
      EXPECT_EQ(extract.status, 0) << extract.err;
      Formatted small = format(readFile(out));
      EXPECT_EQ(small.out, ringlens.out) << input.name << " " << how;
      EXPECT_EQ(small.status, ringlens.status) << input.name << " " << how;
    }
  }
}

TEST(ToolProgram, EveryStatus) {
  TempDir dir;
  std::string dump = dir.write("dump", soundDump());
  std::string noIndex = dir.write("no-index", soundDump(true, false));
  // 0, and 101 to 103 with the buffers exported first.
  EXPECT_EQ(runProgram({"export", dump}).status, 0);
  EXPECT_EQ(runProgram({"export", dir.write("no-memory", soundDump(false))}).status, 101);
  ProgramResult r = runProgram({"export", noIndex});
  EXPECT_EQ(r.status, 102);
  EXPECT_EQ(r.out.substr(0, 59), "{\"record\":\"buffer\",\"number\":4,\"offset\":20,\"text\":\"four\\n\"}\n");
  EXPECT_EQ(runProgram({"export", "--format=csv", dir.write("no-method", soundDump(true, true, false))}).status, 103);
  // 99: a command line that cannot be used; 100: an input that cannot be opened.
  expectRun(runProgram({"export", "--format=xml", dump}), "",
            "ringlens-tool: --format: xml not in {jsonl,csv}\nRun 'ringlens-tool --help' for more information.\n", 99);
  expectRun(runProgram({"inspect", dir.path() + "/none"}), "",
            "ringlens-tool: cannot open '" + dir.path() + "/none': No such file or directory\n", 100);
  // 104: standard output that takes nothing, and an extract that exists.
  std::string program = programCommand().back();
  ProgramResult full = runCommandIn("", {"/bin/sh", "-c", "'" + program + "' export '" + dump + "' > /dev/full"}, {});
  EXPECT_EQ(full.status, 104);
  EXPECT_EQ(full.err, "ringlens-tool: Unable to write trace output.\n");
  std::string out = dir.write("exists", "keep me");
  expectRun(runProgram({"extract", dump, out}), "", "ringlens-tool: '" + out + "' exists; --force replaces it\n", 104);
  EXPECT_EQ(readFile(out), "keep me");
  expectRun(runProgram({"extract", "--force", dump, out}), "", "", 0);
  expectRun(runProgram({"extract", "--force", dump, dump}), "",
            "ringlens-tool: '" + dump + "' is the input; the extract must go to another file\n", 104);
}

}  // namespace
}  // namespace ringlens::tool
