// ringlens formats an extract exactly as it formats the input it came
// from: the same standard output, standard error and status, over dumps
// and trace data files made up from the test builders with blocks placed,
// repeated, damaged and cut at random.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "ringlens.h"
#include "support/container_builder.h"
#include "support/in_memory.h"
#include "support/trace_builder.h"
#include "tool/commands.h"
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

// Runs `extract` in-process with the built-in readers.
struct Extracted {
  int status = -1;
  std::string err, bytes;
};

Extracted extractOf(const std::string& input) {
  TempDir dir;
  std::string in = dir.write("input", input);
  std::string out = dir.path() + "/extract";
  CaptureSink sink;
  Extracted e;
  {
    ToolOutput output(sink);
    ToolContext context{output, builtInReaders()};
    e.status = extractCommand(context, in, out, false);
  }
  e.err = sink.err;
  e.bytes = readFile(out);
  return e;
}

class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  uint32_t below(uint32_t n) { return n == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, n - 1)(engine_); }
  bool chance(uint32_t percent) { return below(100) < percent; }
  std::string word() {
    static const char* words[] = {"Open", "Read", "Close", "sync", "a\nb", "\xff\xfe", "", "x y z", "TRACE_"};
    return words[below(sizeof words / sizeof *words)];
  }
  // Filler: mostly quiet bytes, now and then the signatures' own letters.
  std::string filler(size_t size) {
    std::string bytes(size, '.');
    for (char& c : bytes) {
      uint32_t r = below(100);
      c = r < 5 ? '*' : r < 10 ? "TRACE_BUFIN"[below(11)] : r < 20 ? '\0' : static_cast<char>('a' + below(26));
    }
    return bytes;
  }

 private:
  std::mt19937 engine_;
};

std::string randomRing(Random& random, uint32_t selfAddress) {
  uint32_t blockSize = 120 + 8 * random.below(60);
  MemoryTraceBuilder ring(selfAddress, blockSize);
  ring.wrapReserve(random.below(3) == 0 ? 0 : 8 * random.below(8));
  uint32_t records = random.below(12);
  for (uint32_t i = 0; i < records && ring.cursor() + 40 < blockSize; ++i) {
    switch (random.below(6)) {
      case 0: ring.time(static_cast<int32_t>(random.below(2000000000))); break;
      case 1: ring.entry(static_cast<int32_t>(i), random.below(6)); break;
      case 2: ring.exit(-static_cast<int32_t>(i), random.below(6)); break;
      case 3: ring.text(3, 12, random.word()); break;
      case 4: ring.text(5, 0, random.word()); break;
      default: ring.method(random.below(9), 7, random.below(6)); break;
    }
  }
  uint32_t end = ring.cursor();
  if (random.chance(70)) {
    ring.next(end);
  } else {  // anywhere, sound or not
    ring.oldest(40 + 4 * random.below(20)).next(4 * random.below(blockSize / 4));
  }
  std::string block = ring.build();
  if (random.chance(8)) block = Bytes().raw(block).putU32(24, 0xFFFFFFF0u).str();  // blockSize past the end
  if (random.chance(5)) block = Bytes().raw(block).putU32(24, random.below(40)).str();  // shorter than a header
  return block;
}

MethodTableBuilder randomMethods(Random& random) {
  MethodTableBuilder methods;
  for (uint32_t id = 0; id < 6; ++id) {
    if (random.chance(70)) methods.add(id, random.word() + std::to_string(id));
  }
  if (random.chance(20)) methods.entry(3, 9000);  // a name offset past the block
  return methods;
}

std::string randomBuffer(Random& random) {
  char number = random.chance(85) ? static_cast<char>('0' + random.below(10)) : 'x';
  std::string text = random.word() + " text " + std::to_string(random.below(1000));
  switch (random.below(5)) {
    case 0: return traceBufferBlock(number, text);                                      // no NUL
    case 1: return traceBufferBlockWithLength(number, 0xFFFFFF00u, text + '\0' + "junk");  // huge length
    case 2: return traceBufferBlockWithLength(number, static_cast<uint32_t>(text.size() + 40), text + '\0');
    default: return traceBufferBlock(number, cstr(text) + "after the NUL");
  }
}

// A dump: filler with blocks dropped in at random offsets (later ones may
// overwrite earlier ones), some blocks repeated, some left out, and now
// and then cut anywhere, with a block at offset 0, or with a trace-buffer
// prefix among the last bytes.
std::string randomDump(Random& random) {
  size_t size = 64 + random.below(random.chance(30) ? 20000 : 3000);
  DumpBuilder dump(0);
  dump.place(0, random.filler(size));
  auto anywhere = [&](size_t length) { return length >= size ? size_t(1) : 1 + random.below(uint32_t(size - length)); };
  int blocks = 1 + static_cast<int>(random.below(9));
  for (int i = 0; i < blocks; ++i) {
    std::string block;
    switch (random.below(5)) {
      case 0: block = randomRing(random, 0x10000000 + 0x100 * random.below(16)); break;
      case 1: block = randomMethods(random).indexBlock(); break;
      case 2: block = randomMethods(random).methodBlock(); break;
      default: block = randomBuffer(random); break;
    }
    if (random.chance(10)) block = block.substr(0, random.below(uint32_t(block.size())));  // damaged
    dump.place(random.chance(5) ? 0 : anywhere(block.size()), block);
  }
  std::string bytes = dump.str();
  if (random.chance(15)) {
    // A prefix in the last 19 bytes, found or not as the length decides.
    size_t from = random.below(19);
    std::string prefix = std::string("**TRACE_BUFFER_") + static_cast<char>('4' + random.below(6));
    bytes = bytes.substr(0, bytes.size() - std::min(bytes.size(), from)) + prefix.substr(0, 15 + random.below(2));
  }
  if (random.chance(15)) bytes.resize(random.below(uint32_t(bytes.size()) + 1));
  if (bytes.compare(0, 18, FILE_TRACE_SIGNATURE) == 0) bytes[0] = '.';
  return bytes;
}

std::string randomFileTrace(Random& random) {
  FileTraceBuilder trace;
  uint32_t records = random.below(10);
  for (uint32_t i = 0; i < records; ++i) {
    switch (random.below(7)) {
      case 0: trace.time(static_cast<int32_t>(random.below(2000000000))); break;
      case 1: trace.entry(static_cast<int32_t>(i), random.word()); break;
      case 2: trace.exit(-1, random.word()); break;
      case 3: trace.text(12, random.word()); break;
      case 4: trace.bareText(99, random.word()); break;
      case 5: trace.record(9, 3, "no NUL"); break;
      default: trace.recordWithLength(3, 1, 20, "Name\0" "0123456789abcdef"); break;
    }
  }
  if (random.chance(40)) trace.end();
  if (random.chance(40)) trace.raw(random.filler(random.below(40)));
  std::string bytes = trace.str();
  if (random.chance(25)) bytes.resize(18 + random.below(uint32_t(bytes.size() - 17)));
  return bytes;
}

void expectFormattedAlike(const std::string& input, const std::string& what) {
  Extracted extract = extractOf(input);
  ASSERT_EQ(extract.status, 0) << what << ": " << extract.err;
  Formatted original = format(input);
  Formatted small = format(extract.bytes);
  EXPECT_EQ(small.status, original.status) << what;
  EXPECT_EQ(small.out, original.out) << what;
  EXPECT_EQ(small.err, original.err) << what;
}

TEST(ToolExtractProperty, RinglensFormatsEveryExtractAsItsDump) {
  ScopedTimeZone utc("UTC");
  int statuses[104] = {};
  for (uint32_t seed = 1; seed <= 800; ++seed) {
    Random random(seed);
    std::string dump = randomDump(random);
    expectFormattedAlike(dump, "dump of seed " + std::to_string(seed));
    ++statuses[format(dump).status];
    if (HasFailure()) break;
  }
  // The made-up dumps reach every status a dump can end with.
  for (int status : {STATUS_OK, STATUS_NO_MEMORY_TRACE, STATUS_NO_TRACE_INDEX, STATUS_NO_TRACE_METHOD}) {
    EXPECT_GT(statuses[status], 10) << status;
  }
}

// A process dump in a container: an ELF core file (64- or 32-bit) or a
// minidump whose mapped ranges hold filler and blocks, live memory-trace
// blocks (selfAddress the address they lie at) and stale copies of them,
// with more copies and blocks in unmapped bytes behind the container; now
// and then with headers damaged so that the file is a plain image.
std::string randomContainerDump(Random& random) {
  const uint32_t kind = random.below(3);  // ELF64, ELF32, minidump
  ElfCoreBuilder elf(kind == 0);
  MinidumpBuilder minidump;
  std::vector<std::string> rings;  // to copy elsewhere
  auto someBlock = [&](uint64_t address) -> std::string {
    switch (random.below(6)) {
      case 0:
      case 1: {
        // Live where it is placed when its selfAddress is `address`.
        std::string ring = randomRing(random, static_cast<uint32_t>(random.chance(75) ? address : address + 8));
        rings.push_back(ring);
        return ring;
      }
      case 2: return rings.empty() ? randomRing(random, 0x1234) : rings[random.below(uint32_t(rings.size()))];
      case 3: return randomMethods(random).indexBlock();
      case 4: return randomMethods(random).methodBlock();
      default: return randomBuffer(random);
    }
  };
  const uint32_t segments = 1 + random.below(4);
  for (uint32_t i = 0; i < segments; ++i) {
    uint64_t address = 0x400000 + 0x100000 * uint64_t(i) + 0x10 * random.below(0x1000);
    if (kind != 1 && random.chance(10)) address += 0x7f0000000000;  // never live: selfAddress has 32 bits
    DumpBuilder segment(0);
    segment.place(0, random.filler(64 + random.below(2500)));
    for (uint32_t b = random.below(4); b > 0; --b) {
      size_t at = random.below(uint32_t(segment.str().size()));
      segment.place(at, someBlock(address + at));
    }
    std::string bytes = segment.str();
    if (kind == 2) {
      if (random.chance(50)) {
        minidump.memory(address, bytes);
      } else {
        minidump.memory64(address, bytes);
      }
    } else {
      elf.segment(address, bytes);
    }
  }
  if (random.chance(10)) {
    elf.type(2);  // an executable, no core: a plain image
    minidump.version(0xA792);
  }
  if (random.chance(5)) {
    elf.programHeaderCount(0xFFF0);  // past the file: a plain image
    minidump.listCount(0x7FFFFFFF);
  }
  std::string bytes = kind == 2 ? minidump.build() : elf.build();
  // Unmapped bytes behind the container.
  for (uint32_t b = random.below(3); b > 0; --b) bytes += random.filler(random.below(40)) + someBlock(0);
  if (random.chance(10)) bytes.resize(bytes.size() - random.below(uint32_t(bytes.size() / 4)));
  return bytes;
}

// The memory-trace block ringlens uses in a container and the last one.
struct Choice {
  DumpKind kind = DumpKind::RAW;
  std::optional<uint64_t> live;
  uint64_t last = 0;
};

Choice choiceIn(const std::string& bytes) {
  MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  AddressMap map = readAddressMap(source);
  BlockChoice choice(map);
  scanDump(source, choice);
  return {map.kind(), choice.lastLiveMemoryTrace(), choice.lastMemoryTrace()};
}

TEST(ToolExtractProperty, RinglensFormatsEveryContainerExtractAsItsDump) {
  ScopedTimeZone utc("UTC");
  int statuses[104] = {};
  int kinds[3] = {}, liveBeforeACopy = 0, staleOnly = 0;
  for (uint32_t seed = 1; seed <= 600; ++seed) {
    Random random(seed);
    std::string dump = randomContainerDump(random);
    std::string what = "container dump of seed " + std::to_string(seed);
    expectFormattedAlike(dump, what);
    ++statuses[format(dump).status];
    Choice before = choiceIn(dump);
    ++kinds[static_cast<int>(before.kind)];
    if (before.live && *before.live != before.last) ++liveBeforeACopy;
    if (before.kind != DumpKind::RAW && !before.live && before.last != 0) ++staleOnly;
    // A container's extract is an ELF core file that chooses alike.
    Extracted extract = extractOf(dump);
    if (before.kind != DumpKind::RAW && !extract.bytes.empty()) {
      Choice after = choiceIn(extract.bytes);
      EXPECT_EQ(after.kind, DumpKind::ELF_CORE) << what;
      EXPECT_EQ(after.live.has_value(), before.live.has_value()) << what;
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(kinds[static_cast<int>(DumpKind::RAW)], 30);
  EXPECT_GT(kinds[static_cast<int>(DumpKind::ELF_CORE)], 150);
  EXPECT_GT(kinds[static_cast<int>(DumpKind::MINIDUMP)], 100);
  EXPECT_GT(liveBeforeACopy, 30);
  EXPECT_GT(staleOnly, 30);
  for (int status : {STATUS_OK, STATUS_NO_MEMORY_TRACE, STATUS_NO_TRACE_INDEX, STATUS_NO_TRACE_METHOD}) {
    EXPECT_GT(statuses[status], 10) << status;
  }
}

// A kept block split across two mapped ranges, a copy at the very end of
// a kept block whose selfAddress lies behind it, and a copy no range maps.
TEST(ToolExtractProperty, ContainerLayoutsEdges) {
  ScopedTimeZone utc("UTC");
  MethodTableBuilder methods;
  methods.add(1, "Open").add(2, "Close");
  const uint64_t low = 0x500000;
  MemoryTraceBuilder ring(static_cast<uint32_t>(low + 100), 200);
  ring.entry(1, 1).exit(2, 2).text(3, 5, "hello");
  ring.next(ring.cursor());
  const std::string live = ring.build();
  // The live block's last 80 bytes lie in the next range.
  const std::string first = DumpBuilder(100).str() + live.substr(0, 120);
  const std::string second = live.substr(120) + methods.indexBlock() + methods.methodBlock();
  // A buffer whose text ends in a stale copy's signature and the low 2
  // bytes of its own address (0x1000 + 10 + 24 + 5): with the NUL and a
  // zero byte behind them it would be live, so the extract keeps the
  // dump's bytes behind the text as well.
  const std::string copy = std::string("****MEMORY_TRACE****") + "\x27\x10";
  const std::string buffer = traceBufferBlock('4', cstr("text " + copy) + "rest");
  struct Case {
    std::string name, bytes;
  } cases[] = {
      {"a block across two ranges", ElfCoreBuilder().segment(low, first).segment(low + first.size(), second).build()},
      {"across two minidump ranges", MinidumpBuilder().memory(low, first).memory64(low + first.size(), second).build()},
      {"a copy ending a buffer's text",
       ElfCoreBuilder().segment(low, first + second).segment(0x1000, "0123456789" + buffer).build()},
      {"a copy no range maps", ElfCoreBuilder(false).segment(low, first + second).build() + "tail" + live},
      {"only an unmapped copy", ElfCoreBuilder().segment(low, "nothing here").build() + "tail" + live +
                                    methods.indexBlock() + methods.methodBlock()},
  };
  for (const Case& c : cases) {
    expectFormattedAlike(c.bytes, c.name);
    Extracted extract = extractOf(c.bytes);
    EXPECT_EQ(extract.bytes.compare(0, 4, "\x7f" "ELF"), 0) << c.name;
    EXPECT_EQ(choiceIn(extract.bytes).live.has_value(), choiceIn(c.bytes).live.has_value()) << c.name;
  }
}

TEST(ToolExtractProperty, RinglensFormatsEveryExtractAsItsTraceDataFile) {
  ScopedTimeZone utc("UTC");
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    Random random(seed);
    expectFormattedAlike(randomFileTrace(random), "trace data file of seed " + std::to_string(seed));
    if (HasFailure()) break;
  }
}

// The cases the layout has to get right, each on its own.
TEST(ToolExtractProperty, TheLayoutsEdges) {
  ScopedTimeZone utc("UTC");
  MethodTableBuilder methods;
  methods.add(1, "Open").add(2, "Close");
  MemoryTraceBuilder ring(0x4000, 200);
  ring.entry(1, 1).exit(2, 2).text(3, 5, "hello");
  ring.next(ring.cursor());
  const std::string block = ring.build();
  struct Case {
    std::string name, bytes;
  } cases[] = {
      {"a memory-trace signature at offset 0 besides the used one",
       DumpBuilder(9000).place(0, block).place(3000, block).place(5000, methods.indexBlock())
           .place(6000, methods.methodBlock()).str()},
      {"only at offset 0", DumpBuilder(9000).place(0, block).str()},
      {"a prefix in the last bytes, found", DumpBuilder(4096 + 4076 + 20 + 10).place(100, traceBufferBlock('5', "early\n"))
           .str() + "**TRACE_BUFFER_5"},
      {"a prefix in the last bytes, not found", DumpBuilder(4096 + 4076 + 3).place(100, traceBufferBlock('5', "early\n"))
           .str() + "**TRACE_BUFFER_5"},
      {"a used block reaching past the end, a prefix in its last bytes",
       DumpBuilder(5000).place(200, traceBufferBlock('4', "four\n")).place(1000, methods.indexBlock())
           .place(1200, methods.methodBlock()).str() +
           Bytes().raw(block).putU32(24, 100000).str() + std::string(4, 'q') + "**TRACE_BUFFER_4"},
      {"a buffer without NUL running to the end",
       DumpBuilder(3000).place(70, traceBufferBlock('6', "six\n")).str() +
           traceBufferBlockWithLength('6', 5000, "to the end")},
      {"a buffer's length field cut by the end", DumpBuilder(3000).str() + "**TRACE_BUFFER_7\0\0\0\0\x10"},
      {"signatures inside a kept block come before the used ones",
       DumpBuilder(12000).place(100, Bytes().raw(block).put(60, "****TRACE_INDEX*****").str())
           .place(8000, methods.indexBlock()).place(9000, methods.methodBlock()).str()},
      {"an empty dump", ""},
      {"a dump of 19 bytes", "**TRACE_BUFFER_4\0\0\0"},
  };
  for (const Case& c : cases) expectFormattedAlike(c.bytes, c.name);

  // A used memory-trace block that runs to the end of the file, with a
  // buffer-4 prefix in its last 16 bytes: the window scan examines that
  // start position unless the file's length is 16 to 19 more than a
  // multiple of 4076, so the extract must keep its length modulo 4076.
  const std::string head = DumpBuilder(600).place(200, traceBufferBlock('4', "four\n")).place(300, methods.indexBlock())
                               .place(400, methods.methodBlock()).str();
  const std::string tail = Bytes().raw(block).putU32(24, 100000).str() + "**TRACE_BUFFER_4";
  for (size_t residue : {14, 15, 16, 17, 19, 20, 21, 100}) {
    size_t length = 3 * 4076 + residue;
    std::string dump = head + std::string(length - head.size() - tail.size(), '.') + tail;
    expectFormattedAlike(dump, "a file of " + std::to_string(dump.size()) + " bytes, its tail in a kept block");
  }
}

TEST(ToolExtractProperty, ExtractsAreSmall) {
  MethodTableBuilder methods;
  methods.add(1, "Open");
  MemoryTraceBuilder ring(0x4000, 200);
  ring.entry(1, 1);
  ring.next(ring.cursor());
  std::string dump = DumpBuilder(1 << 20)
                         .place(1000, traceBufferBlock('4', cstr("four\n") + std::string(50000, 'j')))
                         .place(300000, ring.build())
                         .place(600000, methods.indexBlock())
                         .place(900000, methods.methodBlock())
                         .str();
  Extracted extract = extractOf(dump);
  ASSERT_EQ(extract.status, 0) << extract.err;
  // 20 zero bytes, the buffer's head and text with its NUL, the three
  // blocks, a zero byte between each two, 20 zero bytes.
  EXPECT_EQ(extract.bytes.size(), 20 + (24 + 6) + 1 + 200 + 1 + methods.indexLength() + 1 + methods.methodLength() + 20);
}

}  // namespace
}  // namespace ringlens::tool
