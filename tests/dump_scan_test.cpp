// The dump scan: the program's fast search must note exactly what the
// literal window scan notes, on every size and placement, including the
// awkward ones at window, chunk and file ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dump_trace/dump_trace.h"
#include "support/in_memory.h"
#include "support/program_runner.h"
#include "support/reference_scan.h"
#include "support/trace_builder.h"

namespace ringlens {
namespace {

using testing::Bytes;
using testing::DumpBuilder;
using testing::referenceScan;

constexpr std::string_view MEMORY = "****MEMORY_TRACE****";
constexpr std::string_view INDEX = "****TRACE_INDEX*****";
constexpr std::string_view METHOD = "****TRACE_METHOD****";
constexpr std::string_view BUFFER = "**TRACE_BUFFER_";

// Bytes the program reads at a time; positions around its multiples are
// where the carried bytes matter.
constexpr size_t CHUNK = 256 * 1024;
// Start positions each window fill examines.
constexpr size_t STEP = 4096 - 20;

ByteView viewOf(const std::string& bytes) {
  return ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Scans with every candidate search this processor has; they must agree.
// So must a scan of the same bytes from a stream, whose end is known only
// when it is met, and from files whose size at open was none or too small:
// the positions examined near the end follow from the bytes read.
BlockLocations scan(const std::string& bytes) {
  MemorySource source(viewOf(bytes));
  BlockLocations fastest = scanDump(source);
  for (ScanKernel kernel : scanKernels()) {
    if (!scanKernelAvailable(kernel)) continue;
    EXPECT_EQ(scanDump(source, kernel), fastest) << "kernel " << scanKernelName(kernel);
  }
  testing::TrickleStream stream(bytes, static_cast<uint32_t>(bytes.size()), 5000);
  EXPECT_EQ(scanDump(stream), fastest) << "from a stream";
  for (uint64_t sizeAtOpen : {uint64_t(0), uint64_t(bytes.size() / 2)}) {
    testing::GrownSource grown(viewOf(bytes), sizeAtOpen);
    EXPECT_EQ(scanDump(grown), fastest) << "size at open " << sizeAtOpen;
  }
  return fastest;
}

std::string describe(const BlockLocations& l) {
  std::ostringstream s;
  s << "memory " << l.memoryTrace << " index " << l.traceIndex << " method " << l.traceMethod << " buffers";
  for (uint64_t b : l.traceBuffer) s << ' ' << b;
  return s.str();
}

// Filler in three flavours: the dump builder's text, zeros, and bytes from
// the signatures' own alphabet, which make many near misses.
std::string filler(std::mt19937& rng, size_t size) {
  switch (rng() % 3) {
    case 0:
      return DumpBuilder(size).str();
    case 1:
      return std::string(size, '\0');
    default: {
      static constexpr std::string_view ALPHABET = "*****TRACE_BUFFER_MEMORYINDXHOD0123456789x";
      std::string s(size, '\0');
      for (char& c : s) c = ALPHABET[rng() % ALPHABET.size()];
      return s;
    }
  }
}

size_t pickSize(std::mt19937& rng) {
  static const std::vector<size_t> interesting = [] {
    std::vector<size_t> sizes = {0, 1, 15, 16, 19, 20, 21, 35, 36, 4075, 4076, 4095, 4096, 4097, 4116, 4117};
    for (size_t k = 1; k <= 3; ++k) {
      for (size_t d = 0; d <= 6; ++d) {
        sizes.push_back(k * STEP + d - 3);
        sizes.push_back(k * STEP + 20 + d - 3);  // where one more fill is needed
      }
    }
    for (size_t base : {CHUNK, 2 * CHUNK}) {
      for (size_t d = 0; d <= 80; d += 4) sizes.push_back(base + d - 40);
    }
    return sizes;
  }();
  switch (rng() % 3) {
    case 0:
      return interesting[rng() % interesting.size()];
    case 1:
      return rng() % 12000;
    default:
      return rng() % (2 * CHUNK + 20000);
  }
}

// A start offset for a signature of `length` bytes in a file of `size`:
// the front, around window and chunk edges, at or across the end, or
// anywhere.
size_t pickOffset(std::mt19937& rng, size_t size, size_t length) {
  auto near = [&](size_t at) { return at + rng() % 41 - 20; };
  switch (rng() % 8) {
    case 0:
      return rng() % 2;  // 0 is never found
    case 1:
      return near(4096);
    case 2:
      return near((1 + rng() % 4) * STEP);
    case 3:
      return near((1 + rng() % 2) * CHUNK - 10);
    case 4:
      return size - length;  // ends exactly at the end
    case 5:
      return size - rng() % 20;  // in the last bytes, maybe cut short
    default:
      return size == 0 ? 0 : rng() % size;
  }
}

TEST(DumpScan, MatchesTheWindowScanOnGeneratedDumps) {
  std::mt19937 rng(20240501);
  const std::string_view signatures[] = {MEMORY, INDEX, METHOD, BUFFER};
  for (int round = 0; round < 2500; ++round) {
    size_t size = pickSize(rng);
    std::string bytes = filler(rng, size);
    int count = static_cast<int>(rng() % 8);
    for (int k = 0; k < count; ++k) {
      std::string signature(signatures[rng() % 4]);
      if (signature == BUFFER) {
        // The number byte: a digit, a letter, or none (left to the filler
        // or cut off by the end of the file).
        static constexpr std::string_view NUMBERS = "0123456789x/:";
        if (rng() % 4 != 0) signature += NUMBERS[rng() % NUMBERS.size()];
      }
      size_t at = pickOffset(rng, size, signature.size());
      if (at >= size) continue;
      bytes.replace(at, std::min(signature.size(), size - at), signature, 0, std::min(signature.size(), size - at));
    }
    BlockLocations expected = referenceScan(bytes);
    BlockLocations got = scan(bytes);
    ASSERT_EQ(got, expected) << "round " << round << ", size " << size << "\n got      " << describe(got)
                             << "\n expected " << describe(expected);
  }
}

TEST(DumpScan, MatchesTheWindowScanWithManyRepeatsInOneChunk) {
  // Signatures back to back and overlapping: every one is a candidate, and
  // the last of each kind wins.
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::string bytes;
    while (bytes.size() < CHUNK + 5000) {
      switch (rng() % 5) {
        case 0: bytes += MEMORY; break;
        case 1: bytes += INDEX; break;
        case 2: bytes += METHOD; break;
        case 3: bytes += std::string(BUFFER) + char('0' + rng() % 10); break;
        default: bytes += "**TRACE_"; break;  // a near miss
      }
    }
    bytes.resize(bytes.size() - rng() % 30);
    ASSERT_EQ(scan(bytes), referenceScan(bytes)) << "round " << round;
  }
}

BlockLocations onlyBuffer(size_t number, uint64_t offset) {
  BlockLocations l;
  l.traceBuffer[number] = offset;
  return l;
}

TEST(DumpScan, NotesTheOffsetsTheWindowRuleGives) {
  BlockLocations lastWins;
  lastWins.memoryTrace = 9000;
  lastWins.traceIndex = 300;
  lastWins.traceMethod = 270000;
  lastWins.traceBuffer[5] = 8000;
  BlockLocations atZero;
  atZero.traceIndex = 500;
  BlockLocations crossingFirstRead;
  crossingFirstRead.traceIndex = 4080;
  BlockLocations endingAtEnd;
  endingAtEnd.memoryTrace = 4980;
  endingAtEnd.traceIndex = 4950;
  endingAtEnd.traceMethod = 4900;

  struct Case {
    const char* name;
    std::string bytes;
    BlockLocations expected;
  } cases[] = {
      {"the last occurrence of each signature wins",
       DumpBuilder(300000)
           .place(100, MEMORY).place(9000, MEMORY)
           .place(300, INDEX)
           .place(5000, METHOD).place(270000, METHOD)
           .place(7000, "**TRACE_BUFFER_5").place(8000, "**TRACE_BUFFER_5")
           .str(),
       lastWins},
      {"a signature at offset 0 is never found",
       DumpBuilder(1000).place(0, MEMORY).place(500, INDEX).str(), atZero},
      {"an index signature 16 bytes before 4096 is found at its own offset",
       DumpBuilder(10000).place(4080, INDEX).str(), crossingFirstRead},
      {"signatures ending exactly at the end of the file are found",
       DumpBuilder(5000).place(4900, METHOD).place(4950, INDEX).place(4980, MEMORY).str(), endingAtEnd},
      {"a memory signature ending at the end of a 4096-byte file",
       DumpBuilder(4096).place(4076, MEMORY).str(), [] { BlockLocations l; l.memoryTrace = 4076; return l; }()},
      {"a memory signature cut short by the end of the file",
       DumpBuilder(5000).place(4981, MEMORY.substr(0, 19)).str(), {}},
      {"buffer number '7'", DumpBuilder(600).place(200, "**TRACE_BUFFER_7").str(), onlyBuffer(7, 200)},
      {"a letter as buffer number is buffer 0",
       DumpBuilder(600).place(200, "**TRACE_BUFFER_k").str(), onlyBuffer(0, 200)},
      // A 4096-byte file takes a second fill, whose positions reach past
      // its end; a 4095-byte file has one fill, whose positions end at 4075.
      {"a buffer prefix in the last 16 bytes of a 4096-byte file",
       DumpBuilder(4096).place(4080, "**TRACE_BUFFER_5").str(), onlyBuffer(5, 4080)},
      {"a buffer prefix past the last position of a 4095-byte file",
       DumpBuilder(4095).place(4079, "**TRACE_BUFFER_5").str(), {}},
      {"the last position of a 4095-byte file", DumpBuilder(4095).place(4075, "**TRACE_BUFFER_5").str(),
       onlyBuffer(5, 4075)},
      {"a buffer prefix whose number byte is past the end is buffer 0",
       DumpBuilder(4096).place(4081, BUFFER).str(), onlyBuffer(0, 4081)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(describe(scan(c.bytes)), describe(c.expected));
    // The table itself agrees with the window scan.
    EXPECT_EQ(describe(referenceScan(c.bytes)), describe(c.expected));
  }
}

// Holds the bytes up to `failAt`; every read beyond it fails.
class FailingSource : public ByteSource {
 public:
  FailingSource(ByteView bytes, uint64_t failAt) : bytes_(bytes), failAt_(failAt) {}
  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override {
    if (offset >= failAt_) return 0;
    uint64_t n = std::min<uint64_t>(dst.size(), failAt_ - offset);
    MemorySource whole(bytes_);
    return whole.readAt(offset, dst.first(static_cast<size_t>(n)));
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  ByteView bytes_;
  uint64_t failAt_;
};

TEST(DumpScan, ReadErrorEndsTheSearchLikeTheEndOfTheFile) {
  std::string bytes = DumpBuilder(700000)
                          .place(1000, MEMORY)
                          .place(300000, "**TRACE_BUFFER_4")
                          .place(500000, INDEX)
                          .place(600000, MEMORY)
                          .str();
  for (uint64_t failAt : {uint64_t(0), uint64_t(5000), uint64_t(300010), uint64_t(CHUNK + 7), uint64_t(550000)}) {
    SCOPED_TRACE(failAt);
    FailingSource source(viewOf(bytes), failAt);
    EXPECT_EQ(describe(scanDump(source)), describe(referenceScan(bytes.substr(0, failAt))));
  }
}

// A dump larger than 4 GiB, sparse on disk, with the real blocks beyond
// 4 GiB and decoys at the same offsets taken modulo 2^32: a program that
// lost the offsets' high bits would read the decoys.
TEST(ProgramDumpScanSlow, ReadsBlocksBeyond4GiBAtTheirOffsets) {
  using namespace testing;
  constexpr uint64_t FOUR_GIB = uint64_t(1) << 32;
  TempDir dir;
  std::string path = dir.path() + "/big.dmp";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  auto put = [&](uint64_t offset, const std::string& block) {
    ASSERT_EQ(::pwrite(fd, block.data(), block.size(), static_cast<off_t>(offset)), ssize_t(block.size()));
  };

  auto tables = [](std::string_view name) {
    MethodTableBuilder t;
    t.add(1, name);
    return t;
  };
  auto ring = [](int32_t number) {
    return MemoryTraceBuilder(0x10000, 200).entry(number, 1).exit(number, 1).next(72).build();
  };
  MethodTableBuilder real = tables("FarAway"), decoy = tables("Decoy");
  const uint64_t BUFFER_AT = 1000, MEMORY_AT = 8192, INDEX_AT = 20000, METHOD_AT = 24000;
  put(BUFFER_AT, traceBufferBlock('4', "decoy\n"));
  put(MEMORY_AT, ring(-1));
  put(INDEX_AT, decoy.indexBlock());
  put(METHOD_AT, decoy.methodBlock());
  put(FOUR_GIB + BUFFER_AT, traceBufferBlock('4', "beyond 4 GiB\n"));
  put(FOUR_GIB + MEMORY_AT, ring(7));
  put(FOUR_GIB + INDEX_AT, real.indexBlock());
  put(FOUR_GIB + METHOD_AT, real.methodBlock());
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(FOUR_GIB + 65536)), 0);
  ::close(fd);

  ProgramResult r = runProgram({path});
  EXPECT_EQ(r.out, expectedText("**TRACE_BUFFER_4: beyond 4 GiB\n7 >FarAway\n7 <FarAway\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
}  // namespace ringlens
