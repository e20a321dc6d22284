// The whole program on dumps: the missing-block statuses with the trace
// buffers written before their messages, and the trace buffers' texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expected_messages.h"
#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {


struct ProgramCase {
  const char* name;
  std::string dump;
  std::string out, err;
  int status;
};

void checkPrograms(const std::vector<ProgramCase>& cases) {
  TempDir dir;
  int n = 0;
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir.write("case" + std::to_string(n++) + ".dmp", c.dump);
    expectRun(runProgram({file}), c.out, c.err, c.status);
  }
}

MethodTableBuilder names() {
  MethodTableBuilder t;
  t.add(1, "Open").add(2, "Close");
  return t;
}

// A ring of one entry: "1 >Open".
std::string memoryBlock() { return MemoryTraceBuilder(0x00A41000, 120).entry(1, 1).next(56).build(); }

// A dump of `size` filler bytes with the given blocks placed 1000 bytes
// apart from offset 500 on.
std::string dumpOf(const std::vector<std::string>& blocks, size_t size = 12000) {
  DumpBuilder dump(size);
  size_t at = 500;
  for (const std::string& block : blocks) {
    dump.place(at, block);
    at += 1000;
  }
  return dump.str();
}

TEST(ProgramDump, MissingBlocksEndTheRunAfterTheBuffers) {
  const std::string buffer4 = traceBufferBlock('4', cstr("four\n"));
  const std::string buffer5 = traceBufferBlock('5', cstr("five"));
  const std::string buffers = "**TRACE_BUFFER_4: four\n**TRACE_BUFFER_5: five";
  checkPrograms({
      {"an empty file", "", "", NO_MEMORY_TRACE, 101},
      {"a few bytes", "not a trace", "", NO_MEMORY_TRACE, 101},
      {"a memory-trace signature at offset 0 only",
       DumpBuilder(3000).place(0, memoryBlock()).place(1000, names().indexBlock()).place(2000, names().methodBlock()).str(),
       "", NO_MEMORY_TRACE, 101},
      {"no memory trace, buffers still written",
       dumpOf({buffer5, names().indexBlock(), names().methodBlock(), buffer4}), buffers, NO_MEMORY_TRACE, 101},
      {"no trace index", dumpOf({buffer4, memoryBlock(), names().methodBlock(), buffer5}), buffers, NO_TRACE_INDEX,
       102},
      {"no trace method", dumpOf({buffer4, memoryBlock(), names().indexBlock(), buffer5}), buffers, NO_TRACE_METHOD,
       103},
      {"only a trace method: the memory trace is reported", dumpOf({names().methodBlock()}), "", NO_MEMORY_TRACE, 101},
      {"only a memory trace: the trace index is reported", dumpOf({memoryBlock()}), "", NO_TRACE_INDEX, 102},
      {"all three blocks", dumpOf({buffer4, memoryBlock(), names().indexBlock(), names().methodBlock(), buffer5}),
       buffers + "1 >Open\n", "", 0},
  });
}

TEST(ProgramDump, WritesTraceBuffersFourToNineInOrder) {
  const std::string blocks = memoryBlock() + names().indexBlock() + names().methodBlock();
  auto with = [&](std::vector<std::string> buffers) {
    buffers.insert(buffers.begin() + static_cast<long>(buffers.size() / 2), blocks);
    return dumpOf(buffers);
  };
  checkPrograms({
      {"buffers 4 and 6, each text ending in a newline",
       with({traceBufferBlock('6', cstr("second\n")), traceBufferBlock('4', cstr("first\n"))}),
       "**TRACE_BUFFER_4: first\n**TRACE_BUFFER_6: second\n1 >Open\n", "", 0},
      {"texts without a newline run into what follows",
       with({traceBufferBlock('4', cstr("abc")), traceBufferBlock('9', cstr("def"))}),
       "**TRACE_BUFFER_4: abc**TRACE_BUFFER_9: def1 >Open\n", "", 0},
      {"buffers 0 to 3 and a letter are never written",
       with({traceBufferBlock('0', cstr("zero\n")), traceBufferBlock('1', cstr("one\n")),
             traceBufferBlock('2', cstr("two\n")), traceBufferBlock('3', cstr("three\n")),
             traceBufferBlock('x', cstr("letter\n"))}),
       "1 >Open\n", "", 0},
      {"textLength 0", with({traceBufferBlock('8', "")}), "**TRACE_BUFFER_8: 1 >Open\n", "", 0},
      {"the same number twice: the later block",
       with({traceBufferBlock('7', cstr("older\n")), traceBufferBlock('7', cstr("newer\n"))}),
       "**TRACE_BUFFER_7: newer\n1 >Open\n", "", 0},
      {"a text ends at its first NUL", with({traceBufferBlock('5', std::string("kept\0dropped\n", 13))}),
       "**TRACE_BUFFER_5: kept1 >Open\n", "", 0},
      {"a text with no NUL ends with its textLength",
       with({traceBufferBlockWithLength('5', 4, "fourmore")}), "**TRACE_BUFFER_5: four1 >Open\n", "", 0},
      {"a text with a newline inside", with({traceBufferBlock('6', cstr("line one\nline two\n"))}),
       "**TRACE_BUFFER_6: line one\nline two\n1 >Open\n", "", 0},
  });
}

TEST(ProgramDump, LongTraceBuffersAndBuffersCutShortByTheEndOfTheFile) {
  const std::string blocks = dumpOf({memoryBlock(), names().indexBlock(), names().methodBlock()}, 4000);
  checkPrograms({
      {"a textLength reaching past the end: the bytes the file holds",
       blocks + traceBufferBlockWithLength('4', 1000, "tail"), "**TRACE_BUFFER_4: tail1 >Open\n", "", 0},
      {"textLength 0xFFFFFFFF", blocks + traceBufferBlockWithLength('4', 0xFFFFFFFF, "tail"),
       "**TRACE_BUFFER_4: tail1 >Open\n", "", 0},
      {"a NUL early in a text longer than one read ends it",
       blocks + traceBufferBlock('4', cstr("kept") + std::string(200000, 'x')), "**TRACE_BUFFER_4: kept1 >Open\n", "",
       0},
      {"a text longer than one read", blocks + traceBufferBlock('4', std::string(200000, 'x') + "\n"),
       "**TRACE_BUFFER_4: " + std::string(200000, 'x') + "\n1 >Open\n", "", 0},
      {"a textLength field cut short: an empty text", blocks + traceBufferBlock('4', "text").substr(0, 22),
       "**TRACE_BUFFER_4: 1 >Open\n", "", 0},
  });
}

}  // namespace
}  // namespace ringlens::testing
