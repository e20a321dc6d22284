// Reading without a size or a second pass: a stream read front to back, a
// dump's blocks copied while the scan goes past them, and files that hold
// more than their size at open said. Each must give exactly what the same
// bytes give when read as a file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "dump_trace/stream_capture.h"
#include "input_file.h"
#include "output.h"
#include "run.h"
#include "support/container_builder.h"
#include "support/container_cases.h"
#include "support/generated_inputs.h"
#include "support/in_memory.h"
#include "support/reference_model.h"
#include "support/trace_builder.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define RINGLENS_CLANG_SANITIZED 1
#endif
#endif
#ifndef RINGLENS_CLANG_SANITIZED
#define RINGLENS_CLANG_SANITIZED 0
#endif

namespace ringlens::testing {
namespace {

using namespace container_cases;

ByteView viewOf(const std::string& bytes) {
  return ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string read(ByteSource& source, uint64_t offset, size_t n) {
  std::string got(n, '\0');
  got.resize(source.readAt(offset, {reinterpret_cast<uint8_t*>(got.data()), n}));
  return got;
}

TEST(StreamSource, ReadsForwardAndKeepsOnlyTheHead) {
  std::string bytes;
  for (int i = 0; i < 400000; ++i) bytes += static_cast<char>('a' + i % 26);
  TrickleStream stream(bytes, 1);
  EXPECT_EQ(read(stream, 0, 18), bytes.substr(0, 18));
  // The head again, and on from it without a gap.
  EXPECT_EQ(read(stream, 0, 5000), bytes.substr(0, 5000));
  // Of the bytes already read only the first 18 stay.
  EXPECT_EQ(read(stream, 3, 30), bytes.substr(3, 15));
  EXPECT_EQ(read(stream, 100, 10), "");
  // Bytes skipped over, a read larger than the buffer, the end.
  EXPECT_EQ(read(stream, 9000, 300000), bytes.substr(9000, 300000));
  EXPECT_EQ(read(stream, 390000, 20000), bytes.substr(390000));
  EXPECT_EQ(read(stream, 390000, 10), "");
  EXPECT_EQ(read(stream, 500000, 10), "");
  EXPECT_EQ(stream.position(), bytes.size());

  std::string tiny = "short";
  TrickleStream shortStream(tiny, 2);
  EXPECT_EQ(read(shortStream, 0, 18), tiny);
  EXPECT_EQ(read(shortStream, 0, 4096), tiny);
}

// ---------------------------------------------------------------------------
// The capture, fed by hand

struct Fed {
  BlockLocations locations;
  std::vector<std::pair<uint64_t, std::string>> blocks;  // offset, bytes held
};

// Feeds `capture` the occurrences and the bytes of `stream` in pieces of
// `piece` bytes, each occurrence `early` pieces before its first byte.
Fed feed(const std::string& stream, const std::vector<SignatureOccurrence>& found, size_t piece, size_t early = 0) {
  StreamCapture capture;
  size_t next = 0;
  for (uint64_t at = 0; at < stream.size() || at == 0; at += piece) {
    while (next < found.size() && found[next].offset < at + (early + 1) * piece) capture.occurrence(found[next++]);
    capture.bytes(at, std::string_view(stream).substr(at, piece));
    if (stream.empty()) break;
  }
  while (next < found.size()) capture.occurrence(found[next++]);
  Fed fed{capture.locations(), {}};
  for (CapturedBlock& block : capture.release()) {
    ByteView held = block.bytes.view();
    fed.blocks.emplace_back(block.offset, std::string(reinterpret_cast<const char*>(held.data()), held.size()));
  }
  std::sort(fed.blocks.begin(), fed.blocks.end());
  return fed;
}

SignatureOccurrence at(Signature signature, uint64_t offset, uint32_t number = 0) {
  return {signature, number, offset};
}

TEST(StreamCapture, KeepsTheLastOccurrenceUpToItsLengthFieldOrItsNul) {
  MethodTableBuilder names;
  names.add(1, "Open");
  const std::string index = names.indexBlock(), method = names.methodBlock();
  const std::string ring = MemoryTraceBuilder(0x1000, 100).entry(1, 1).next(56).build();
  const std::string buffer = traceBufferBlock('5', cstr("text") + "after");

  struct Case {
    const char* name;
    std::string stream;
    std::vector<SignatureOccurrence> found;
    std::vector<std::pair<uint64_t, std::string>> held;
  };
  std::string twoRings = DumpBuilder(1000).place(100, ring).place(600, ring).str();
  std::string nested = DumpBuilder(1000).place(100, ring).place(150, index).str();  // index inside the ring
  std::string cut = DumpBuilder(1000).place(100, ring).str().substr(0, 130);                     // ring cut short by the end
  std::string buffers = DumpBuilder(900).place(10, traceBufferBlock('2', cstr("low"))).place(200, buffer).str();
  std::string noNul = DumpBuilder(300).place(200, traceBufferBlockWithLength('7', 6, "abcdefgh")).str();
  std::string tinyLength = DumpBuilder(300).place(50, names.indexBlockWithLength(3)).str();
  std::string hugeLength = DumpBuilder(300).place(50, names.methodBlockWithLength(0xFFFFFFFF)).str();
  const Case cases[] = {
      {"an earlier occurrence is dropped", twoRings,
       {at(Signature::MEMORY_TRACE, 100), at(Signature::MEMORY_TRACE, 600)}, {{600, ring}}},
      {"overlapping blocks are each copied", nested,
       {at(Signature::MEMORY_TRACE, 100), at(Signature::TRACE_INDEX, 150)},
       {{100, nested.substr(100, 100)}, {150, index}}},
      {"a block cut short by the end", cut, {at(Signature::MEMORY_TRACE, 100)}, {{100, ring.substr(0, 30)}}},
      {"buffers below 4 are not kept; a text ends before its NUL", buffers,
       {at(Signature::TRACE_BUFFER, 10, 2), at(Signature::TRACE_BUFFER, 200, 5)}, {{200, buffer.substr(0, 28)}}},
      {"a text without a NUL ends with its textLength", noNul, {at(Signature::TRACE_BUFFER, 200, 7)},
       {{200, noNul.substr(200, 30)}}},
      {"a block shorter than its header keeps its length field", tinyLength, {at(Signature::TRACE_INDEX, 50)},
       {{50, tinyLength.substr(50, 24)}}},
      {"a length past the end: what the stream holds", hugeLength, {at(Signature::TRACE_METHOD, 50)},
       {{50, hugeLength.substr(50)}}},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(1), size_t(7), size_t(64), size_t(5000)}) {
      for (size_t early : {size_t(0), size_t(3)}) {
        SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece) + ", early " + std::to_string(early));
        Fed fed = feed(c.stream, c.found, piece, early);
        EXPECT_EQ(fed.blocks, c.held);
      }
    }
  }
}

TEST(StreamCapture, LocationsAreThoseOfTheLastOccurrences) {
  std::string stream(5000, '.');
  Fed fed = feed(stream,
                 {at(Signature::TRACE_BUFFER, 10, 4), at(Signature::TRACE_INDEX, 20), at(Signature::TRACE_BUFFER, 30, 1),
                  at(Signature::TRACE_BUFFER, 40, 4), at(Signature::TRACE_INDEX, 50), at(Signature::TRACE_METHOD, 60)},
                 100);
  BlockLocations expected;
  expected.traceBuffer[4] = 40;
  expected.traceBuffer[1] = 30;
  expected.traceIndex = 50;
  expected.traceMethod = 60;
  EXPECT_EQ(fed.locations, expected);
}

// The scan's report to an observer: every byte once and in order, every
// occurrence in order of offset and before its first byte, and the last
// of each the same as the scan's own result.
class ScanRecorder : public ScanObserver {
 public:
  void occurrence(const SignatureOccurrence& found) override {
    EXPECT_GE(found.offset, handed_) << "an occurrence reported after its first byte";
    if (!occurrences_.empty()) {
      EXPECT_GT(found.offset, occurrences_.back().offset);
    }
    occurrences_.push_back(found);
  }
  void bytes(uint64_t offset, std::string_view data) override {
    EXPECT_EQ(offset, handed_);
    seen_ += data;
    handed_ = offset + data.size();
  }
  std::vector<SignatureOccurrence> occurrences_;
  std::string seen_;
  uint64_t handed_ = 0;
};

TEST(StreamCapture, ScanReportsEveryOccurrenceBeforeItsBytes) {
  InputGenerator generate(77);
  for (int round = 0; round < 300; ++round) {
    std::string dump = generate.dump();
    MemorySource source(viewOf(dump));
    ScanRecorder recorder;
    scanDump(source, recorder);
    ASSERT_EQ(recorder.seen_, dump) << "round " << round;
    StreamCapture capture;
    for (const SignatureOccurrence& found : recorder.occurrences_) capture.occurrence(found);
    ASSERT_EQ(capture.locations(), scanDump(source)) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// Whole formatting: a stream against a file

TEST(StreamInput, GeneratedInputsGiveTheSameFromAStreamAsFromAFile) {
  ScopedTimeZone utc("UTC");
  InputGenerator generate(20240611);
  std::map<int, int> statuses;
  size_t withOutput = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string input = generate.any();
    Formatted fromFile = format(input);
    TrickleStream stream(input, static_cast<uint32_t>(round), round % 2 ? 70000 : 300);
    Formatted fromStream = formatSource(stream);
    // Both are what the reference model says.
    CaptureSink model;
    const int modelStatus = referenceFormat(input, model);
    ASSERT_EQ(fromFile.out, model.out) << "round " << round;
    ASSERT_EQ(fromFile.err, model.err) << "round " << round;
    ASSERT_EQ(fromFile.status, modelStatus) << "round " << round;
    ASSERT_EQ(fromStream.out, fromFile.out) << "round " << round << ", " << input.size() << " bytes";
    ASSERT_EQ(fromStream.err, fromFile.err) << "round " << round;
    ASSERT_EQ(fromStream.status, fromFile.status) << "round " << round;
    ++statuses[fromFile.status];
    withOutput += !fromFile.out.empty();
  }
  // The inputs reach every status of both shapes, many with output.
  for (int status : {0, 101, 102, 103}) EXPECT_GT(statuses[status], 20) << "status " << status;
  EXPECT_GT(withOutput, 500u);
}

TEST(StreamInput, ADumpHoldsOnlyItsBlocksBesidesTheWindow) {
  // 3 MiB of filler around blocks of a few hundred bytes: the copies hold
  // the blocks, never the filler.
  MethodTableBuilder names;
  names.add(1, "Open");
  std::string ring = MemoryTraceBuilder(0x1000, 300).entry(1, 1).next(56).build();
  std::string dump = DumpBuilder(3 << 20)
                         .place(1000, ring)
                         .place(2000000, ring)
                         .place(2500000, names.indexBlock())
                         .place(3000000, names.methodBlock())
                         .place(3100000, traceBufferBlock('4', cstr("note\n")))
                         .str();
  TrickleStream stream(dump, 3);
  StreamCapture capture;
  scanDump(stream, capture);
  EXPECT_EQ(capture.end(), dump.size());
  EXPECT_EQ(capture.heldBytes(), 300 + names.indexLength() + names.methodLength() + 24 + 5);
}

// ---------------------------------------------------------------------------
// Containers: the live memory-trace block from a stream

TEST(StreamInput, AContainerGetsTheSameMemoryTraceFromAStreamAsFromAFile) {
  ScopedTimeZone utc("UTC");
  for (const ContainerCase& c : containerCases()) {
    SCOPED_TRACE(c.name);
    Formatted file = format(c.file);
    EXPECT_EQ(file.out, c.out);
    EXPECT_EQ(file.err, "");
    EXPECT_EQ(file.status, 0);
    for (size_t piece : {size_t(1), size_t(300), size_t(70000)}) {
      SCOPED_TRACE(piece);
      TrickleStream stream(c.file, static_cast<uint32_t>(piece), piece);
      Formatted f = formatSource(stream);
      EXPECT_EQ(f.out, file.out);
      EXPECT_EQ(f.err, file.err);
      EXPECT_EQ(f.status, file.status);
    }
  }
}

// The selfAddress of a live block whose signature the scan's first piece
// decides lies in the bytes carried to the next piece; of the many
// candidates in one piece inside a mapped range, none is kept beyond its
// selfAddress unless it is the last or the last live one.
TEST(StreamInput, TheLiveBlockAcrossTheScansPiecesAndManyCandidates) {
  ScopedTimeZone utc("UTC");
  constexpr size_t PIECE_OWNS = 256 * 1024 - 64;  // start positions the first piece decides
  MethodTableBuilder names;
  names.add(1, "Open").add(2, "Close");
  for (size_t back : {size_t(1), size_t(4), size_t(20), size_t(23)}) {
    SCOPED_TRACE(back);
    ElfCoreBuilder probe;
    probe.segment(LOW, std::string(400 * 1024, '.'));
    const size_t start = probe.segmentOffset(0);
    const size_t at = PIECE_OWNS - back;  // file offset of the live block
    DumpBuilder memory(400 * 1024);
    memory.place(at - start, ringBlock(LOW + (at - start), 1));
    memory.place(300 * 1024, names.indexBlock()).place(350 * 1024, names.methodBlock());
    ElfCoreBuilder elf;
    elf.segment(LOW, memory.str()).segment(HIGH, rangeWith(ringBlock(0x00B00000, 2)));
    const std::string file = elf.build();
    ASSERT_EQ(format(file).out, "1 >Open\n");
    TrickleStream stream(file, 5);
    EXPECT_EQ(formatSource(stream).out, "1 >Open\n");
  }

  // 10000 signatures back to back in a mapped range, none live, between a
  // live block and the last one.
  DumpBuilder crowd(0x40000);
  crowd.place(LIVE_AT, ringBlock(LOW + LIVE_AT, 1));
  for (size_t k = 0; k < 10000; ++k) crowd.place(0x1000 + 20 * k, "****MEMORY_TRACE****");
  ElfCoreBuilder elf;
  elf.segment(LOW, crowd.str()).segment(HIGH, rangeWith(ringBlock(0x00B00000, 2), LIVE_AT, true));
  const std::string file = elf.build();
  MemorySource source(viewOf(file));
  const AddressMap map = readAddressMap(source);
  TrickleStream stream(file, 9);
  StreamCapture capture(&map);
  scanDump(stream, capture);
  EXPECT_EQ(capture.lastLiveMemoryTrace(), elf.segmentOffset(0) + LIVE_AT);
  // The live block and the last one (120 bytes each) and the name tables.
  EXPECT_EQ(capture.heldBytes(), 2 * 120 + names.indexLength() + names.methodLength());
  TrickleStream again(file, 3);
  EXPECT_EQ(formatSource(again).out, "1 >Open\n");
}

// ---------------------------------------------------------------------------
// Files that hold more than their size at open

TEST(StreamInput, BlocksPastTheSizeAtOpenAreReadToTheirEnd) {
  ScopedTimeZone utc("UTC");
  MethodTableBuilder names;
  names.add(1, "Open").add(2, "Close");
  MemoryTraceBuilder ring(0x1000, 400000);
  for (int i = 0; i < 20000; ++i) ring.entry(i, 1).exit(i, 2);
  ring.next(ring.cursor());
  DumpBuilder dump(5000);
  dump.append(traceBufferBlock('4', cstr(std::string(150000, 'g') + "\n")));
  dump.append(names.indexBlock());
  uint64_t grewAt = dump.append(ring.build());
  dump.append(names.methodBlock());
  std::string bytes = dump.str();
  Formatted whole = format(bytes);
  ASSERT_EQ(whole.status, 0);
  for (uint64_t sizeAtOpen : {uint64_t(0), uint64_t(4000), grewAt + 100, uint64_t(bytes.size() - 10)}) {
    SCOPED_TRACE(sizeAtOpen);
    GrownSource grown(viewOf(bytes), sizeAtOpen);
    Formatted f = formatSource(grown);
    EXPECT_EQ(f.out, whole.out);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.status, 0);
  }
}

// Lengths of 0xFFFFFFFF in every block of a small dump read from a stream,
// with the address space limited to little more than the process already
// uses: a copy sized by a length field instead of by the bytes that came
// would not be had, and the output would lack its lines.
TEST(StreamHostileLengthsDeathTest, CopiesFollowTheStreamNotTheLengthFields) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || RINGLENS_CLANG_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  if (const char* preload = std::getenv("LD_PRELOAD"); preload && std::string(preload).find("vgpreload") != std::string::npos) {
    GTEST_SKIP() << "under valgrind";
  }
  MethodTableBuilder names;
  names.add(1, "Open");
  MemoryTraceBuilder ring(0x1000, 400);
  ring.entry(1, 1).text(3, 2, "text").exit(1, 1);
  std::string memory = ring.next(0).build().substr(0, ring.cursor()).replace(24, 4, Bytes().u32(0xFFFFFFFF).str());
  std::string dump = DumpBuilder(64).str() + traceBufferBlockWithLength('4', 0xFFFFFFFF, "no NUL\n") +
                     names.indexBlockWithLength(0xFFFFFFFF) + names.methodBlockWithLength(0xFFFFFFFF) + memory;
  const std::string expected = "**TRACE_BUFFER_4: no NUL\n";  // the buffer's text runs to the end

  auto limitedRun = [&] {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
    rlimit space{limit, limit};
    if (pages == 0 || setrlimit(RLIMIT_AS, &space) != 0) std::_Exit(2);
    TrickleStream stream(dump, 5);
    Formatted f = formatSource(stream);
    Formatted file = format(dump);
    std::_Exit(f.out == file.out && f.out.starts_with(expected) && f.out.ends_with("1 >Open\n2  text\n1 <Open\n") &&
                       f.status == 0
                   ? 0
                   : 1);
  };
  EXPECT_EXIT(limitedRun(), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace ringlens::testing
