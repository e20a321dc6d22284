// ELF core files and minidumps: their address maps, and the memory-trace
// block a dump of either is formatted from: the last live one (its
// selfAddress is where its first byte lay), else the last one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "support/container_builder.h"
#include "support/capture_sink.h"
#include "support/in_memory.h"
#include "support/reference_model.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

ByteView viewOf(const std::string& bytes) {
  return ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

AddressMap mapOf(const std::string& file) {
  MemorySource source(viewOf(file));
  return readAddressMap(source);
}

constexpr uint64_t LOW = 0x00A40000;           // where the live blocks lie
constexpr uint64_t HIGH = 0x7FFD12340000;      // a stack or heap far above
constexpr uint64_t ABOVE_4G = 0x100000000 + LOW;  // the same low 32 bits
constexpr uint32_t LIVE_AT = 0x100;           // the live block, in LOW

// What the reference model writes for a file.
std::string referenceOut(const std::string& file) {
  CaptureSink sink;
  referenceFormat(file, sink);
  return sink.out;
}

MethodTableBuilder names() {
  MethodTableBuilder t;
  t.add(1, "Open").add(2, "Close");
  return t;
}

// The ring of the live block: "1 >Open".
std::string liveBlock(uint64_t address = LOW + LIVE_AT) {
  return MemoryTraceBuilder(static_cast<uint32_t>(address), 120).entry(1, 1).next(56).build();
}
// A block the process released: a genuine header, with the address it had.
std::string staleBlock() { return MemoryTraceBuilder(0x00B00000, 120).entry(2, 2).next(56).build(); }
// A block whose ring is "2 >Close", at any selfAddress.
std::string closeBlock(uint32_t selfAddress) {
  return MemoryTraceBuilder(selfAddress, 120).entry(2, 2).next(56).build();
}
// The signature as a string constant: what follows is no header.
std::string constantCopy() { return std::string("****MEMORY_TRACE****") + "Unable to find trace signature" + cstr(""); }

// The low range: filler, the live block at LIVE_AT (or any block given),
// the method tables.
std::string lowRange(const std::string& block = liveBlock()) {
  DumpBuilder low(LIVE_AT);
  low.append(block);
  low.append(names().indexBlock());
  low.append(names().methodBlock());
  low.append(std::string(64, '.'));
  return low.str();
}
// A range that holds a copy of the signature, after some filler.
std::string rangeWith(const std::string& copy) {
  DumpBuilder high(200);
  high.append(copy);
  high.append(std::string(200, '.'));
  return high.str();
}

TEST(DumpContainer, ReadsTheAddressMapOfEachKind) {
  const std::string a(300, 'a'), b(500, 'b'), c(64, 'c');
  {
    ElfCoreBuilder elf;
    elf.segment(HIGH, b).segment(LOW, a).segment(ABOVE_4G, c);
    AddressMap map = mapOf(elf.build());
    EXPECT_EQ(map.kind(), DumpKind::ELF_CORE);
    EXPECT_EQ(map.ranges(), (std::vector<MappedRange>{{elf.segmentOffset(0), 500, HIGH},
                                                      {elf.segmentOffset(1), 300, LOW},
                                                      {elf.segmentOffset(2), 64, ABOVE_4G}}));
    EXPECT_EQ(map.addressOf(elf.segmentOffset(1) + 299), LOW + 299);
    EXPECT_EQ(map.addressOf(elf.segmentOffset(2) + 64), std::nullopt);  // past the last range
    EXPECT_EQ(map.addressOf(0), std::nullopt);                          // the header
  }
  {
    ElfCoreBuilder elf(false);
    elf.segment(0xFFFF0000, c).segment(LOW, a);
    AddressMap map = mapOf(elf.build());
    EXPECT_EQ(map.kind(), DumpKind::ELF_CORE);
    EXPECT_EQ(map.ranges(),
              (std::vector<MappedRange>{{elf.segmentOffset(0), 64, 0xFFFF0000}, {elf.segmentOffset(1), 300, LOW}}));
  }
  {
    MinidumpBuilder mini;
    mini.memory(LOW, a).memory64(HIGH, b).memory64(ABOVE_4G, c);
    std::string file = mini.build();
    AddressMap map = mapOf(file);
    EXPECT_EQ(map.kind(), DumpKind::MINIDUMP);
    const uint64_t first = file.size() - 864;  // the ranges' bytes end the file
    EXPECT_EQ(map.ranges(), (std::vector<MappedRange>{
                                {first, 300, LOW}, {first + 300, 500, HIGH}, {first + 800, 64, ABOVE_4G}}));
  }
  EXPECT_EQ(dumpKindName(DumpKind::ELF_CORE), "elf-core");
  EXPECT_EQ(dumpKindName(DumpKind::MINIDUMP), "minidump");
  EXPECT_EQ(dumpKindName(DumpKind::RAW), "raw");
}

TEST(DumpContainer, HeadersThatDoNotHoldTogetherMakeARawImage) {
  const std::string a(300, 'a'), b(500, 'b');
  auto elf = [&] { return ElfCoreBuilder().segment(LOW, a).segment(HIGH, b); };
  auto mini = [&] { return MinidumpBuilder().memory(LOW, a).memory64(HIGH, b); };
  ASSERT_EQ(mapOf(elf().build()).kind(), DumpKind::ELF_CORE);
  ASSERT_EQ(mapOf(mini().build()).kind(), DumpKind::MINIDUMP);
  struct Case {
    const char* name;
    std::string file;
  };
  const std::string wholeElf = elf().build();
  const std::string wholeMini = mini().build();
  std::vector<Case> cases = {
      {"an executable, not a core", elf().type(2).build()},
      {"big-endian", Bytes().raw(wholeElf).put(5, "\x02").str()},
      {"program headers past the end of the file", elf().programHeaderCount(60000).build()},
      {"a segment reaching past the end of the file", elf().fileSize(1, 501 + 64).build()},
      {"a segment larger than the address space", elf().address(1, UINT64_MAX - 100).build()},
      {"segments at one address", elf().address(1, LOW + 299).build()},
      {"an ELF core cut short in its last segment", wholeElf.substr(0, wholeElf.size() - 1)},
      {"an ELF core cut short in its program headers", wholeElf.substr(0, 100)},
      {"a 32-bit segment past 4 GiB", ElfCoreBuilder(false).segment(0xFFFFFF00, a).build()},
      {"another minidump version", mini().version(0xA792).build()},
      {"a stream directory past the end of the file", mini().streamCount(100000).build()},
      {"a memory list counting more ranges than it holds", mini().listCount(2).build()},
      {"a 64-bit memory list counting more ranges than it holds", mini().list64Count(2).build()},
      {"a 64-bit memory list counting 2^63 ranges", mini().list64Count(uint64_t(1) << 63).build()},
      {"a 64-bit range reaching past the end of the file", mini().list64DataSize(0, 501).build()},
      {"ranges at one address", MinidumpBuilder().memory(LOW, a).memory64(LOW + 10, b).build()},
      {"a minidump cut short", wholeMini.substr(0, wholeMini.size() - 1)},
      {"the minidump signature alone", "MDMP"},
      {"the ELF magic alone", "\x7f" "ELF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AddressMap map = mapOf(c.file);
    EXPECT_EQ(map.kind(), DumpKind::RAW);
    EXPECT_TRUE(map.ranges().empty());
  }
}

// One container of the ranges given as (address, bytes), in each kind.
using Ranges = std::vector<std::pair<uint64_t, std::string>>;
std::string elfOf(const Ranges& ranges, bool wide = true) {
  ElfCoreBuilder b(wide);
  for (auto& [address, bytes] : ranges) b.segment(address, bytes);
  return b.build();
}
std::string minidumpOf(const Ranges& ranges, bool wide) {
  MinidumpBuilder b;
  for (auto& [address, bytes] : ranges) wide ? b.memory64(address, bytes) : b.memory(address, bytes);
  return b.build();
}

TEST(DumpContainer, TheLastLiveMemoryTraceIsUsed) {
  ScopedTimeZone utc("UTC");
  const std::string LIVE = "1 >Open\n", STALE = "2 >Close\n";
  struct Case {
    const char* name;
    Ranges ranges;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"a live block before a constant copy", {{LOW, lowRange()}, {HIGH, rangeWith(constantCopy())}}, LIVE},
      {"a live block before a stale header", {{LOW, lowRange()}, {HIGH, rangeWith(staleBlock())}}, LIVE},
      {"a stale header before the live block, and a constant after it",
       {{LOW - 0x1000, rangeWith(staleBlock())}, {LOW, lowRange()}, {HIGH, rangeWith(constantCopy())}}, LIVE},
      {"ranges listed out of address order", {{HIGH, rangeWith(staleBlock())}, {LOW, lowRange()}}, LIVE},
      {"no live block: the last one", {{LOW, lowRange(liveBlock(LOW + 8))}, {HIGH, rangeWith(staleBlock())}}, STALE},
      {"a block above 4 GiB whose selfAddress is its address's low half is not live",
       {{LOW, lowRange()}, {ABOVE_4G, lowRange(closeBlock(uint32_t(ABOVE_4G + LIVE_AT)))}}, LIVE},
      {"only a block above 4 GiB: the last one", {{ABOVE_4G, lowRange(closeBlock(uint32_t(ABOVE_4G + LIVE_AT)))}},
       STALE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<const char*, std::string>> files = {
        {"elf64", elfOf(c.ranges)}, {"minidump list", minidumpOf(c.ranges, false)},
        {"minidump 64-bit list", minidumpOf(c.ranges, true)}};
    bool fitsIn32 = true;
    for (auto& [address, bytes] : c.ranges) fitsIn32 = fitsIn32 && address + bytes.size() <= 0x100000000;
    if (fitsIn32) files.push_back({"elf32", elfOf(c.ranges, false)});
    for (auto& [kind, file] : files) {
      SCOPED_TRACE(kind);
      ASSERT_NE(mapOf(file).kind(), DumpKind::RAW);
      Formatted f = format(file);
      EXPECT_EQ(f.out, c.out);
      EXPECT_EQ(f.err, "");
      EXPECT_EQ(f.status, 0);
      EXPECT_EQ(referenceOut(file), c.out);  // the model the fuzzer holds the program to
    }
  }
}

TEST(DumpContainer, ADamagedContainerKeepsTheLastOccurrence) {
  ScopedTimeZone utc("UTC");
  const Ranges ranges = {{LOW, lowRange()}, {HIGH, rangeWith(staleBlock())}};
  const std::string elf = elfOf(ranges);
  ElfCoreBuilder shortSegment;
  shortSegment.segment(LOW, ranges[0].second).segment(HIGH, ranges[1].second).fileSize(1, 100000);
  MinidumpBuilder badCount;
  badCount.memory64(LOW, ranges[0].second).memory64(HIGH, ranges[1].second).list64Count(3);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"a segment reaching past the end of the file", shortSegment.build()},
      {"program headers past the end of the file", Bytes().raw(elf).putU32(56, 0xFFFF).str().substr(0, elf.size())},
      {"a 64-bit memory list counting a range too many", badCount.build()},
  };
  for (auto& [name, file] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(mapOf(file).kind(), DumpKind::RAW);
    Formatted f = format(file);
    EXPECT_EQ(f.out, "2 >Close\n");
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(referenceOut(file), "2 >Close\n");
  }
}

// The dump scan reads 256 KiB at a time and hands a piece's bytes on
// after its occurrences, keeping back the last 64 bytes for the next
// piece: a signature near the end of a piece has its selfAddress handed
// on, wholly or in part, only with the next. Every kernel the processor
// has must leave the choice the same.
TEST(DumpContainer, ASelfAddressHandedOnWithTheNextPieceOfTheScan) {
  constexpr size_t PIECE_OWNS = 256 * 1024 - 64;  // bytes the first piece hands on
  const std::string copy = rangeWith(constantCopy());
  for (size_t back : {size_t(1), size_t(10), size_t(21), size_t(22), size_t(40)}) {
    SCOPED_TRACE(back);
    const size_t at = PIECE_OWNS - back;  // file offset of the live block
    ElfCoreBuilder shape;
    shape.segment(LOW, std::string(300 * 1024, '.'));
    const size_t start = shape.segmentOffset(0);
    DumpBuilder memory(300 * 1024);
    memory.place(1000, names().indexBlock());
    memory.place(2000, names().methodBlock());
    memory.place(at - start, liveBlock(LOW + (at - start)));
    const size_t copyAt = 290 * 1024 - start;
    memory.place(copyAt, copy);
    ElfCoreBuilder elf;
    elf.segment(LOW, memory.str());
    const std::string file = elf.build();
    ASSERT_EQ(elf.segmentOffset(0), start);
    const AddressMap map = mapOf(file);
    ASSERT_EQ(map.kind(), DumpKind::ELF_CORE);
    for (ScanKernel kernel : scanKernels()) {
      if (!scanKernelAvailable(kernel)) continue;
      SCOPED_TRACE(scanKernelName(kernel));
      MemorySource source(viewOf(file));
      BlockChoice choice(map);
      scanDump(source, choice, kernel);
      EXPECT_EQ(choice.lastLiveMemoryTrace(), at);
      EXPECT_EQ(choice.lastMemoryTrace(), start + copyAt + 200);
      EXPECT_EQ(choice.locations().memoryTrace, at);
    }
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(format(file).out, "1 >Open\n");
    EXPECT_EQ(referenceOut(file), "1 >Open\n");
  }
}

// The choice from the occurrences and bytes alone, however the bytes are
// cut into pieces, including cuts inside a selfAddress.
TEST(DumpContainer, TheChoiceTakesSelfAddressesFromBytesInAnyPieces) {
  DumpBuilder memory(4000);
  memory.place(100, liveBlock(LOW + 100));
  memory.place(116, liveBlock(LOW + 116));  // overlapping the first: live too
  memory.place(1000, liveBlock(LOW + 7));   // not live
  memory.place(3990, "****MEMORY_TRACE****");  // its selfAddress lies past the end
  const std::string bytes = memory.str().substr(0, 4012);
  const AddressMap map(DumpKind::ELF_CORE, {{0, bytes.size(), LOW}});
  for (size_t piece : {size_t(1), size_t(3), size_t(7), size_t(1000), bytes.size()}) {
    SCOPED_TRACE(piece);
    BlockChoice choice(map);
    const std::vector<uint64_t> at = {100, 116, 1000, 3990};
    size_t next = 0;
    for (size_t from = 0; from < bytes.size(); from += piece) {
      size_t to = std::min(bytes.size(), from + piece);
      while (next < at.size() && at[next] < to) choice.occurrence({Signature::MEMORY_TRACE, 0, at[next++]});
      choice.bytes(from, std::string_view(bytes).substr(from, to - from));
    }
    EXPECT_EQ(choice.lastLiveMemoryTrace(), 116u);
    EXPECT_EQ(choice.lastMemoryTrace(), 3990u);
    EXPECT_EQ(choice.locations().memoryTrace, 116u);
  }
}

}  // namespace
}  // namespace ringlens::testing
