// Formatting whole dumps in memory: the order of the stages, method name
// lookup, the ring walk, and damaged blocks.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>  // malloc_trim
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dump_trace/dump_trace.h"
#include "run.h"
#include "support/capture_sink.h"
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

namespace ringlens {
namespace {

using testing::Bytes;
using testing::format;
using testing::Formatted;
using testing::cstr;
using testing::DumpBuilder;
using testing::MemoryTraceBuilder;
using testing::MethodTableBuilder;
using testing::traceBufferBlock;

constexpr uint32_t SELF = 0x00A41000;

MethodTableBuilder standardNames() {
  MethodTableBuilder names;
  names.add(1, "Open").add(2, "Close").add(3, "Read");
  return names;
}

// A dump with the name tables first and the memory-trace block last, so
// that cutting the dump cuts the ring.
std::string dumpWith(const std::string& memoryBlock, const MethodTableBuilder& names = standardNames()) {
  DumpBuilder dump(64);
  dump.append(names.indexBlock());
  dump.append(DumpBuilder(40).str());
  dump.append(names.methodBlock());
  dump.append(DumpBuilder(40).str());
  dump.append(memoryBlock);
  return dump.str();
}

// A record that a correct walk never reaches; its number gives it away.
std::string stray(int32_t number) { return Bytes().u32(16).u32(1).i32(number).u32(1).str(); }

TEST(DumpStages, BufferTextGoesOutBeforeTheMessageOfAMissingBlock) {
  std::string dump = DumpBuilder(4000).place(100, traceBufferBlock('4', "no newline")).str();
  Formatted f = format(dump);
  EXPECT_EQ(f.status, 101);
  ASSERT_EQ(f.writes.size(), 2u);
  EXPECT_FALSE(f.writes[0].toErr);
  EXPECT_EQ(f.writes[0].bytes, "**TRACE_BUFFER_4: no newline");
  EXPECT_TRUE(f.writes[1].toErr);
  EXPECT_EQ(f.writes[1].bytes, "Unable to find trace signature in file.\n");
}

TEST(DumpNames, LookupFollowsTheIndexAndTheMethodBlock) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string& ring)> dump;
    std::string expected;
  };
  // Entry and exit of method 1, then entry of method 2.
  const std::string ring = MemoryTraceBuilder(SELF, 200).entry(1, 1).exit(1, 1).entry(2, 2).next(88).build();
  auto with = [](std::function<void(MethodTableBuilder&)> fill) {
    MethodTableBuilder t;
    fill(t);
    return t;
  };
  Case cases[] = {
      {"the first of two entries with one id decides",
       [&](const std::string& r) {
         return dumpWith(r, with([](auto& t) { t.add(1, "First").add(1, "Second").add(2, "Other"); }));
       },
       "1 >First\n1 <First\n2 >Other\n"},
      {"an index blockLength of 24 has no entries",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Open").add(2, "Close"); });
         return DumpBuilder(64).str() + t.indexBlockWithLength(24) + t.methodBlock() + r;
       },
       "1 >Entry Name Unknown\n1 <Exit Name Unknown\n2 >Entry Name Unknown\n"},
      {"an index blockLength of 31 has no entries",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Open").add(2, "Close"); });
         return DumpBuilder(64).str() + t.indexBlockWithLength(31) + t.methodBlock() + r;
       },
       "1 >Entry Name Unknown\n1 <Exit Name Unknown\n2 >Entry Name Unknown\n"},
      {"only entries wholly inside blockLength count",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Open").add(2, "Close"); });
         return DumpBuilder(64).str() + t.indexBlockWithLength(24 + 8 + 7) + t.methodBlock() + r;
       },
       "1 >Open\n1 <Open\n2 >Entry Name Unknown\n"},
      {"nameOffset 24 is the first name",
       [&](const std::string& r) {
         return dumpWith(r, with([](auto& t) {
                           t.nameOffset("Alpha");
                           t.nameOffset("Beta");
                           t.entry(1, 24).entry(2, 30);
                         }));
       },
       "1 >Alpha\n1 <Alpha\n2 >Beta\n"},
      {"a nameOffset at or after the end of the method block has no name",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.nameOffset("Alpha"); });
         t.entry(1, t.methodLength()).entry(2, 0xFFFFFFFF);
         return dumpWith(r, t);
       },
       "1 >Entry Name Unknown\n1 <Exit Name Unknown\n2 >Entry Name Unknown\n"},
      {"a name without NUL ends with the method block, not the file",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Alpha").add(2, "Omega"); });
         return DumpBuilder(64).str() + t.indexBlock() + t.methodBlockWithLength(t.methodLength() - 1) + r;
       },
       "1 >Alpha\n1 <Alpha\n2 >Omega\n"},
      {"a method block cut short by the end of the file",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Alpha").add(2, "Omega"); });
         std::string method = t.methodBlockWithLength(1000);
         return DumpBuilder(64).str() + t.indexBlock() + r + method.substr(0, method.size() - 3);
       },
       "1 >Alpha\n1 <Alpha\n2 >Ome\n"},
      {"an index whose blockLength field is cut by the end of the file",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Alpha"); });
         return DumpBuilder(64).str() + t.methodBlock() + r + t.indexBlock().substr(0, 22);
       },
       "1 >Entry Name Unknown\n1 <Exit Name Unknown\n2 >Entry Name Unknown\n"},
      {"blockLength 0xFFFFFFFF on both tables: what the file holds",
       [&](const std::string& r) {
         auto t = with([](auto& t) { t.add(1, "Open").add(2, "Close"); });
         return DumpBuilder(64).str() + t.indexBlockWithLength(0xFFFFFFFF) + t.methodBlockWithLength(0xFFFFFFFF) + r;
       },
       "1 >Open\n1 <Open\n2 >Close\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Formatted f = format(c.dump(ring));
    EXPECT_EQ(f.out, c.expected);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.status, 0);
  }
}

TEST(DumpNames, ManyIdsLookedUpAgainInAnyOrder) {
  // Thousands of ids, some with two entries (the first decides) and some
  // looked up without any entry, each asked for several times in a mixed
  // order: every answer must be the one the index gives.
  std::mt19937 rng(5);
  MethodTableBuilder table;
  std::map<uint32_t, std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    uint32_t id = static_cast<uint32_t>(rng());
    std::string name = "method" + std::to_string(i);
    table.add(id, name);
    expected.emplace(id, name);  // a repeated id keeps its first name
    if (i % 7 == 0) table.add(id, "shadowed" + std::to_string(i));
  }
  std::string file = DumpBuilder(16).str();
  uint64_t indexAt = file.size();
  file += table.indexBlock();
  uint64_t methodAt = file.size();
  file += table.methodBlock();
  MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  MethodNames names;
  names.loadTraceIndex(source, indexAt);
  names.loadTraceMethod(source, methodAt);

  std::vector<uint32_t> asked;
  for (auto& [id, name] : expected) asked.insert(asked.end(), {id, id, id, id + 1});
  std::shuffle(asked.begin(), asked.end(), rng);
  for (uint32_t id : asked) {
    auto found = expected.find(id);
    std::optional<std::string_view> want;
    if (found != expected.end()) want = found->second;
    ASSERT_EQ(names.lookupMethodName(id), want) << "id " << id;
  }
}

struct RingCase {
  const char* name;
  std::function<std::string()> dump;
  std::string expected;
};

void checkRings(const std::vector<RingCase>& cases) {
  testing::ScopedTimeZone utc("UTC");  // time stamps are written in local time
  for (const RingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Formatted f = format(c.dump());
    EXPECT_EQ(f.out, c.expected);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.status, 0);
  }
}

TEST(DumpRing, WalksFromTheOldestRecordToTheNext) {
  checkRings({
      {"an empty ring", [] { return dumpWith(MemoryTraceBuilder(SELF, 200).build()); }, ""},
      {"a first length of 0 means empty, whatever nextRecord says",
       [] { return dumpWith(MemoryTraceBuilder(SELF, 200).at(56).entry(1, 1).next(72).build()); }, ""},
      {"never wrapped",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).text(3, 7, "hello").exit(1, 1).text(5, 99, "bare").time(0);
         return dumpWith(m.next(m.cursor()).build());
       },
       "1 >Open\n7  hello\n1 <Open\n bare\n----*Thu Jan 01 00:00:00 1970*----\n"},
      {"wrapped: the oldest records at the end, then from the ring start",
       [] {
         MemoryTraceBuilder m(SELF, 200);
         m.wrapReserve(32);
         m.entry(20, 2).exit(20, 2).lay(stray(-1));  // 40..72 newest, then a stale record
         m.at(120).entry(10, 1).text(3, 5, "abc").exit(10, 1);  // 120..172; 172 + 32 >= 200
         return dumpWith(m.oldest(120).next(72).build());
       },
       "10 >Open\n5  abc\n10 <Open\n20 >Close\n20 <Close\n"},
      {"full: oldestRecord equals nextRecord, every record once",
       [] {
         MemoryTraceBuilder m(SELF, 200);
         m.wrapReserve(32);
         m.entry(20, 2).exit(20, 2).entry(30, 3).exit(30, 3).entry(40, 3);  // 40..120
         m.entry(10, 1).text(3, 5, "abc").exit(10, 1);                      // 120..172
         return dumpWith(m.oldest(120).next(120).build());
       },
       "10 >Open\n5  abc\n10 <Open\n20 >Close\n20 <Close\n30 >Read\n30 <Read\n40 >Read\n"},
      {"nextRecord at the ring start ends the walk at the wrap",
       [] {
         MemoryTraceBuilder m(SELF, 200);
         m.wrapReserve(32);
         m.lay(stray(-1));
         m.at(104).entry(10, 1).exit(10, 1).entry(11, 2).exit(11, 2);  // 104..168; 168 + 32 >= 200
         return dumpWith(m.oldest(104).next(40).build());
       },
       "10 >Open\n10 <Open\n11 >Close\n11 <Close\n"},
      {"a record ending where wrapReserve bytes are left wraps",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.wrapReserve(100);
         m.exit(2, 1);                              // 40..56
         m.at(284).entry(1, 1).lay(stray(-1));      // 284..300, 300 + 100 = 400
         return dumpWith(m.oldest(284).next(56).build());
       },
       "1 >Open\n2 <Open\n"},
      {"a record ending one byte earlier does not",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.wrapReserve(100);
         m.lay(stray(-1));                          // 40..56
         m.at(283).entry(1, 1).exit(2, 1);          // 283..299, 299..315
         return dumpWith(m.oldest(283).next(40).build());
       },
       "1 >Open\n2 <Open\n"},
      {"addresses are 32-bit: a ring whose addresses pass 2^32",
       [] {
         MemoryTraceBuilder m(0xFFFFFFE0, 200);  // the ring starts at address 8
         m.entry(1, 1).exit(1, 1);
         return dumpWith(m.next(m.cursor()).build());
       },
       "1 >Open\n1 <Open\n"},
      {"the wrap test adds in 32 bits: a huge wrapReserve can come round below blockSize",
       [] {
         MemoryTraceBuilder m(SELF, 200);
         m.wrapReserve(0xFFFFFFF0);  // 56 + it = 40, 72 + it = 56: no wrap
         m.entry(1, 1).exit(1, 1);
         return dumpWith(m.next(72).build());
       },
       "1 >Open\n1 <Open\n"},
  });
}

TEST(DumpRing, WritesEachKind) {
  checkRings({
      {"kinds 0 to 6 and 7, known and unknown ids",
       [] {
         MemoryTraceBuilder m(SELF, 600);
         m.method(0, 10, 1).method(0, 11, 9);      // like an exit
         m.entry(12, 2).entry(-12, 9);
         m.exit(13, 3).exit(-13, 9);
         m.text(3, 12, "twelve").text(3, 0, "");
         m.time(1000000000);
         m.text(5, 1234, "no number");
         m.method(6, 14, 3).method(6, 15, 77);
         m.method(7, -1, 2);
         return dumpWith(m.next(m.cursor()).build());
       },
       "10 <Open\n11 <Exit Name Unknown\n"
       "12 >Close\n-12 >Entry Name Unknown\n"
       "13 <Read\n-13 <Exit Name Unknown\n"
       "12  twelve\n0  \n"
       "----*Sun Sep 09 01:46:40 2001*----\n"
       " no number\n"
       "14 <Read\n15 <Exit Name Unknown\n"
       "-1 <Close\n"},
  });
}

// Entry, exit, entry: 40..88, the last record's fields end at 88.
MemoryTraceBuilder threeRecords() {
  MemoryTraceBuilder m(SELF, 400);
  m.entry(1, 1).exit(1, 1).entry(2, 2).next(88);
  return m;
}

TEST(DumpRing, EndsPromptlyOnDamagedRings) {
  checkRings({
      {"a length of 0 after the first record: written once",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).lay(Bytes().u32(0).u32(2).i32(5).u32(2).str());  // length 0
         return dumpWith(m.next(300).build());
       },
       "1 >Open\n5 <Close\n"},
      {"positions that never meet stop: each record once",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).exit(1, 1);
         m.lay(Bytes().u32(328).u32(1).i32(2).u32(2).str());  // 72 + 328 = 400: wraps to 40
         return dumpWith(m.next(64).build());
       },
       "1 >Open\n1 <Open\n2 >Close\n"},
      {"a loop that does not pass the oldest record: each record once",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).exit(1, 1);
         m.lay(Bytes().u32(0xFFFFFFF0).u32(1).i32(2).u32(2).str());  // back 16 bytes, to 56
         return dumpWith(m.next(300).build());
       },
       "1 >Open\n1 <Open\n2 >Close\n"},
      {"a record whose fields reach past the end of the file ends the walk",
       [] { return dumpWith(threeRecords().build().substr(0, 84)); },
       "1 >Open\n1 <Open\n"},
      {"a time record that just fits at the end of the file is written",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).time(0);
         return dumpWith(m.next(300).build().substr(0, 68));
       },
       "1 >Open\n----*Thu Jan 01 00:00:00 1970*----\n"},
      {"an event record needs 16 bytes even when its length says 12",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).lay(Bytes().u32(12).u32(1).i32(2).str());
         return dumpWith(m.next(300).build().substr(0, 68));
       },
       "1 >Open\n"},
      {"a text without NUL runs to the end of the copy",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).text(3, 4, "tail");
         return dumpWith(m.next(300).build().substr(0, 56 + 16 + 4));
       },
       "1 >Open\n4  tail\n"},
      {"a text ends with blockSize even where the file goes on",
       [] {
         MemoryTraceBuilder m(SELF, 76);
         m.entry(1, 1).text(3, 4, "tail").next(40);
         return dumpWith(m.build().substr(0, 76)) + "more bytes";
       },
       "1 >Open\n4  tail\n"},
      {"blockSize 0xFFFFFFFF on a small file: the records the file holds",
       [] { return dumpWith(threeRecords().build().substr(0, 88).replace(24, 4, Bytes().u32(0xFFFFFFFF).str())); },
       "1 >Open\n1 <Open\n2 >Close\n"},
      {"blockSize below 40: no lines",
       [] { return dumpWith(threeRecords().build().replace(24, 4, Bytes().u32(39).str())); }, ""},
      {"a header cut short by the end of the file: no lines",
       [] { return dumpWith(threeRecords().build().substr(0, 39)); }, ""},
      {"an oldest record outside the block: no lines",
       [] { return dumpWith(threeRecords().oldest(5000).build()); }, ""},
      {"an oldest record whose length field is cut by the block's end: no lines",
       [] { return dumpWith(threeRecords().oldest(398).build()); }, ""},
  });
}

// The reference model's output for a file.
std::string referenceOut(const std::string& file) {
  testing::CaptureSink sink;
  testing::referenceFormat(file, sink);
  return sink.out;
}

// The reference model remembers every position it has written; the
// program must write the same without remembering them.
TEST(DumpRing, MatchesTheReferenceModelOnRandomRings) {
  std::mt19937 rng(4242);
  MethodTableBuilder table;
  table.add(1, "Open").add(2, "Close").add(2, "Shadowed");
  table.entry(3, 5000);  // a name offset past the method block
  auto any = [&](uint32_t below) { return static_cast<uint32_t>(rng() % below); };

  for (int round = 0; round < 20000; ++round) {
    // The ring: records laid back to back from 40, some with odd lengths.
    size_t held = 44 + any(220);
    Bytes ring;
    ring.zeros(40);
    std::vector<uint32_t> starts;
    while (ring.size() < held) {
      starts.push_back(static_cast<uint32_t>(ring.size()));
      uint32_t kind = any(8);
      std::string text(any(6), 'a' + static_cast<char>(any(26)));
      if (any(4) != 0) text += '\0';
      uint32_t natural = kind == 4 ? 12 : (kind == 3 || kind == 5) ? 16 + static_cast<uint32_t>(text.size()) : 16;
      uint32_t length;
      switch (any(6)) {
        case 0: length = any(40); break;                     // anything small, 0 included
        case 1: length = 0u - 4 * (1 + any(20)); break;      // backwards
        default: length = natural; break;
      }
      ring.u32(length).u32(kind).i32(static_cast<int32_t>(any(2000)) - 1000).u32(any(5));
      if (kind == 3 || kind == 5) ring.raw(text);
    }
    std::string block = ring.str().substr(0, held);

    // The header: positions at record starts or anywhere, sizes honest or not.
    auto position = [&]() -> uint32_t {
      switch (any(5)) {
        case 0: return any(static_cast<uint32_t>(held) + 20);
        case 1: return 40;
        default: return starts[any(static_cast<uint32_t>(starts.size()))];
      }
    };
    uint32_t self = any(3) == 0 ? 0u - any(400) : 0x10000000u + 4 * any(1000);
    uint32_t blockSize = any(4) == 0 ? any(300) : any(8) == 0 ? 0xFFFFFFFF : static_cast<uint32_t>(held);
    uint32_t reserve = any(5) == 0 ? 0u - any(300) : any(60);
    Bytes header;
    header.raw("****MEMORY_TRACE****").u32(self).u32(blockSize).u32(self + position()).u32(self + position()).u32(reserve);
    block.replace(0, 40, header.str());

    // The memory-trace block ends the file, so its copy holds at most `held` bytes.
    std::string dump = DumpBuilder(32).str() + table.indexBlock() + table.methodBlock() + block;
    Formatted f = format(dump);
    ASSERT_EQ(f.out, referenceOut(dump)) << "round " << round;
    ASSERT_EQ(f.status, 0);
  }
}

// The name tables of a million ids loaded with the address space limited
// so that the lookup table cannot be had: lookups go through the entries
// in order and give the same names, and nothing aborts.
TEST(DumpNamesDeathTest, NoStorageForTheTableFallsBackToTheEntries) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || RINGLENS_CLANG_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  if (const char* preload = std::getenv("LD_PRELOAD"); preload && std::string(preload).find("vgpreload") != std::string::npos) {
    GTEST_SKIP() << "under valgrind";
  }
  constexpr uint32_t IDS = 1000000;
  MethodTableBuilder table;
  const uint32_t shared = table.nameOffset("Shared");
  for (uint32_t id = 0; id < IDS; ++id) table.entry(id * 7 + 3, shared);
  const uint32_t last = table.nameOffset("Last");
  table.entry(5, last).entry(3, last);  // 5: a new id; 3 repeats the first entry's id
  std::string file = DumpBuilder(16).str();
  const uint64_t indexAt = file.size();
  file += table.indexBlock();
  const uint64_t methodAt = file.size();
  file += table.methodBlock();

  auto check = [&](bool limited) {
    MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
    MethodNames names;
    names.loadTraceIndex(source, indexAt);
    if (limited) {
      // Room for a few MiB more than is in use now; the table would take 8 MiB.
      // Free heap memory counts as in use; it is given back first, or the
      // table could be had from it without any more address space.
#ifdef __GLIBC__
      malloc_trim(0);
#endif
      long pages = 0;
      if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
      }
      rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t(2) << 20);
      rlimit space{limit, limit};
      if (pages == 0 || setrlimit(RLIMIT_AS, &space) != 0) std::_Exit(2);
    }
    names.loadTraceMethod(source, methodAt);
    if (names.hasLookupTable() == limited) std::_Exit(3);
    if (names.lookupTableBytes() > table.indexLength()) std::_Exit(4);
    const std::optional<std::string_view> sharedName = "Shared", lastName = "Last", none;
    for (uint32_t id : {3u, 10u, 7u * (IDS - 1) + 3u}) {
      if (names.lookupMethodName(id) != sharedName) std::_Exit(5);
    }
    if (names.lookupMethodName(5) != lastName) std::_Exit(6);
    if (names.lookupMethodName(4) != none || names.lookupMethodName(IDS * 7 + 3) != none) std::_Exit(7);
    std::_Exit(0);
  };
  EXPECT_EXIT(check(false), ::testing::ExitedWithCode(0), "") << "with room for the table";
  EXPECT_EXIT(check(true), ::testing::ExitedWithCode(0), "") << "without room for the table";
#endif
}

// Lengths of 0xFFFFFFFF in every block of a small dump, formatted with the
// address space limited to little more than the process already uses: a
// copy sized by a length field instead of by the file would not be had,
// and the output would lack its lines.
TEST(DumpHostileLengthsDeathTest, StorageFollowsTheFileNotTheLengthFields) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || RINGLENS_CLANG_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  if (const char* preload = std::getenv("LD_PRELOAD"); preload && std::string(preload).find("vgpreload") != std::string::npos) {
    GTEST_SKIP() << "under valgrind";
  }
  MethodTableBuilder t = standardNames();
  MemoryTraceBuilder m(SELF, 400);
  m.entry(1, 1).text(3, 2, "text").exit(1, 1);
  std::string memory = m.next(0).build().substr(0, m.cursor()).replace(24, 4, Bytes().u32(0xFFFFFFFF).str());
  std::string dump = DumpBuilder(64).str() + testing::traceBufferBlockWithLength('4', 0xFFFFFFFF, cstr("buffer\n")) +
                     t.indexBlockWithLength(0xFFFFFFFF) + t.methodBlockWithLength(0xFFFFFFFF) + memory;
  const std::string expected = "**TRACE_BUFFER_4: buffer\n1 >Open\n2  text\n1 <Open\n";

  auto limitedRun = [&] {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
    rlimit space{limit, limit};
    if (pages == 0 || setrlimit(RLIMIT_AS, &space) != 0) std::_Exit(2);
    Formatted f = format(dump);
    std::_Exit(f.out == expected && f.err.empty() && f.status == 0 ? 0 : 1);
  };
  EXPECT_EXIT(limitedRun(), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace ringlens

namespace ringlens {
namespace {

// Counts what a reader hands on.
class CountingConsumer final : public RecordConsumer {
 public:
  bool record(const TraceRecord&) override { return ++records < stopAfter; }
  uint64_t records = 0;
  uint64_t stopAfter = UINT64_MAX;
};

TEST(DumpRing, SaysWhyTheWalkEnded) {
  MethodNames names;
  auto walk = [&](const std::string& block, uint64_t stopAfter = UINT64_MAX) {
    MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(block.data()), block.size()));
    CountingConsumer consumer;
    consumer.stopAfter = stopAfter;
    return walkMemoryTrace(loadMemoryTrace(source, 0), names, consumer);
  };
  struct Case {
    const char* name;
    std::string block;
    uint64_t stopAfter;
    RingEnd end;
    uint64_t records;
  };
  MemoryTraceBuilder full(SELF, 200);
  full.wrapReserve(32).entry(1, 1).exit(1, 1).oldest(40).next(40);  // 40..72, then 72 + 32 < 200
  const Case cases[] = {
      {"empty", MemoryTraceBuilder(SELF, 200).build(), UINT64_MAX, RingEnd::EMPTY, 0},
      {"short header", MemoryTraceBuilder(SELF, 200).build().substr(0, 39), UINT64_MAX, RingEnd::SHORT_HEADER, 0},
      {"reached next", threeRecords().build(), UINT64_MAX, RingEnd::REACHED_NEXT, 3},
      {"record outside", threeRecords().build().substr(0, 84), UINT64_MAX, RingEnd::RECORD_OUTSIDE, 2},
      {"stopped", threeRecords().build(), 2, RingEnd::STOPPED, 2},
      {"a position comes round again",
       [] {
         MemoryTraceBuilder m(SELF, 400);
         m.entry(1, 1).exit(1, 1);
         m.lay(Bytes().u32(0xFFFFFFF0).u32(1).i32(2).u32(2).str());  // back to 56
         return m.next(300).build();
       }(),
       UINT64_MAX, RingEnd::REPEATED_POSITION, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RingSummary summary = walk(c.block, c.stopAfter);
    EXPECT_EQ(summary.end, c.end);
    EXPECT_EQ(summary.records, c.records);
  }
}

}  // namespace
}  // namespace ringlens
