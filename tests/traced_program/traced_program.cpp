// A traced program for the whole-program tests on real process dumps. It
// keeps the tracing facility's blocks in its memory the way a traced
// process does, writes to a file the text that a correct formatter must
// print for a dump of it, and then waits to be dumped.
//
//   traced_program EXPECTED_FILE [--core]    (Linux)
//     keeps its blocks, writes EXPECTED_FILE, writes "ready" and a newline
//     to standard output and waits until standard input ends; with --core
//     it first raises its own core-size limit to the hard limit, so that a
//     signal can make the kernel dump it.
//   traced_program.exe EXPECTED_FILE DUMP_FILE     (Windows)
//     the same, then writes its own minidump (MiniDumpWithFullMemory) to
//     DUMP_FILE and ends.
//
// What it keeps:
// - the memory-trace block below 4 GiB (its addresses are 32-bit): a ring
//   of records that starts in a 4 KiB block, grows once into a 16 KiB
//   block (the old one is released) and then wraps several times;
// - a 64-byte copy of the old block's header in a region at a high
//   address, as a register spill or a stale buffer would keep it: a dump
//   holds it after the live block;
// - the trace-index and trace-method blocks on the heap, grown by realloc
//   as methods are added;
// - trace buffers 4 and 6.
// Every signature is copied from a string constant, so the constants lie
// in the dump too.
//
// The expected text comes from the program's own account of what it
// appended and what the ring still holds, never from reading its blocks.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// dbghelp.h after windows.h
#include <dbghelp.h>
#else
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

const char MEMORY_TRACE_SIGNATURE[] = "****MEMORY_TRACE****";
const char TRACE_INDEX_SIGNATURE[] = "****TRACE_INDEX*****";
const char TRACE_METHOD_SIGNATURE[] = "****TRACE_METHOD****";
const char TRACE_BUFFER_PREFIX[] = "**TRACE_BUFFER_";

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "traced_program: %s\n", what);
  std::exit(2);
}

void putU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// --- Memory ---------------------------------------------------------------

// A block whose address fits in 32 bits.
uint8_t* lowBlock(size_t size) {
#ifdef _WIN32
  for (uintptr_t at = 0x20000000; at < 0x70000000; at += 0x100000) {
    void* p = VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p) return static_cast<uint8_t*>(p);
  }
  die("no memory below 4 GiB");
#else
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_32BIT
  flags |= MAP_32BIT;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) + size > 0x100000000ull) die("no memory below 4 GiB");
  return static_cast<uint8_t*>(p);
#endif
}

void releaseLowBlock(uint8_t* block, size_t size) {
#ifdef _WIN32
  (void)size;
  VirtualFree(block, 0, MEM_RELEASE);
#else
  munmap(block, size);
#endif
}

// A region at as high an address as the system gives.
uint8_t* highRegion(size_t size) {
#ifdef _WIN32
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE);
  if (!p) die("no high region");
  return static_cast<uint8_t*>(p);
#else
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) die("no high region");
  return static_cast<uint8_t*>(p);
#endif
}

uint32_t address32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// --- Method names -----------------------------------------------------------

// The trace-index block (signature, blockLength, entries of methodId and
// nameOffset) and the trace-method block (signature, blockLength, names),
// both on the heap and grown as methods are added.
class MethodTables {
 public:
  MethodTables() {
    indexCapacity_ = 4;
    index_ = static_cast<uint8_t*>(std::malloc(24 + 8 * indexCapacity_));
    methodCapacity_ = 64;
    method_ = static_cast<uint8_t*>(std::malloc(methodCapacity_));
    if (!index_ || !method_) die("no memory");
    std::memcpy(index_, TRACE_INDEX_SIGNATURE, 20);
    std::memcpy(method_, TRACE_METHOD_SIGNATURE, 20);
    methodLength_ = 24;
    writeLengths();
  }

  void add(uint32_t methodId, const std::string& name) {
    if (entries_ == indexCapacity_) {
      indexCapacity_ *= 2;
      index_ = static_cast<uint8_t*>(std::realloc(index_, 24 + 8 * indexCapacity_));
      if (!index_) die("no memory");
    }
    size_t needed = methodLength_ + name.size() + 1;
    if (needed > methodCapacity_) {
      while (needed > methodCapacity_) methodCapacity_ *= 2;
      method_ = static_cast<uint8_t*>(std::realloc(method_, methodCapacity_));
      if (!method_) die("no memory");
    }
    std::memcpy(method_ + methodLength_, name.c_str(), name.size() + 1);
    putU32(index_ + 24 + 8 * entries_, methodId);
    putU32(index_ + 24 + 8 * entries_ + 4, static_cast<uint32_t>(methodLength_));
    ++entries_;
    methodLength_ = needed;
    writeLengths();
    if (names_.size() <= methodId) names_.resize(methodId + 1);
    names_[methodId] = name;
  }

  // The name the formatter shows for an id: the first entry's, as only
  // one entry per id is added.
  const std::string* nameOf(uint32_t methodId) const {
    return methodId < names_.size() && !names_[methodId].empty() ? &names_[methodId] : nullptr;
  }

 private:
  void writeLengths() {
    putU32(index_ + 20, static_cast<uint32_t>(24 + 8 * entries_));
    putU32(method_ + 20, static_cast<uint32_t>(methodLength_));
  }

  uint8_t* index_;
  size_t indexCapacity_, entries_ = 0;
  uint8_t* method_;
  size_t methodCapacity_, methodLength_;
  std::vector<std::string> names_;
};

// --- The memory trace -------------------------------------------------------

// Header: signature (20), selfAddress (4), blockSize (4), oldestRecord (4),
// nextRecord (4), wrapReserve (4); records from offset 40. A record is
// length (4), kind (4), number or time (4), methodId (4), text for kinds 3
// and 5 from offset 16.
class MemoryTrace {
 public:
  static constexpr uint32_t RING_START = 40;
  static constexpr uint32_t WRAP_RESERVE = 128;  // more than any record

  MemoryTrace(const MethodTables& names, uint32_t blockSize) : names_(names) { open(blockSize); }

  void entry(int32_t number, uint32_t methodId) { method(1, number, methodId); }
  void exit(int32_t number, uint32_t methodId) { method(2, number, methodId); }
  void text(int32_t number, const std::string& text) { textRecord(3, number, text); }
  void bareText(const std::string& text) { textRecord(5, 0, text); }
  void time(int32_t seconds) {
    uint8_t r[12];
    putU32(r, 12);
    putU32(r + 4, 4);
    putU32(r + 8, static_cast<uint32_t>(seconds));
    std::time_t t = seconds;
    char when[64];
    std::strftime(when, sizeof when, "%a %b %d %H:%M:%S %Y", std::gmtime(&t));
    append(r, sizeof r, std::string("----*") + when + "*----\n");
  }

  // Moves the ring into a new, larger block, record by record, and
  // releases the old one; a 64-byte copy of the old header stays behind in
  // `staleCopy`.
  void grow(uint32_t blockSize, uint8_t* staleCopy) {
    uint8_t* old = block_;
    uint32_t oldSize = blockSize_;
    std::deque<Held> records;
    records.swap(held_);
    open(blockSize);
    for (const Held& r : records) append(old + r.position, r.length, r.line);
    std::memcpy(staleCopy, old, 64);
    releaseLowBlock(old, oldSize);
  }

  // What a formatter writes for the ring: its records from the oldest on.
  std::string lines() const {
    std::string all;
    for (const Held& r : held_) all += r.line;
    return all;
  }
  size_t records() const { return held_.size(); }
  uint64_t wraps() const { return wraps_; }
  const uint8_t* block() const { return block_; }

 private:
  struct Held {
    uint32_t position, length;
    std::string line;
  };

  void open(uint32_t blockSize) {
    block_ = lowBlock(blockSize);
    blockSize_ = blockSize;
    next_ = RING_START;
    std::memcpy(block_, MEMORY_TRACE_SIGNATURE, 20);
    putU32(block_ + 20, address32(block_));
    putU32(block_ + 24, blockSize);
    putU32(block_ + 36, WRAP_RESERVE);
    writePositions();
  }

  void writePositions() {
    uint32_t oldest = held_.empty() ? next_ : held_.front().position;
    putU32(block_ + 28, address32(block_) + oldest);
    putU32(block_ + 32, address32(block_) + next_);
  }

  void method(uint32_t kind, int32_t number, uint32_t methodId) {
    uint8_t r[16];
    putU32(r, 16);
    putU32(r + 4, kind);
    putU32(r + 8, static_cast<uint32_t>(number));
    putU32(r + 12, methodId);
    const std::string* name = names_.nameOf(methodId);
    std::string line = std::to_string(number) + (kind == 1 ? " >" : " <");
    line += name ? *name : kind == 1 ? "Entry Name Unknown" : "Exit Name Unknown";
    append(r, sizeof r, line + "\n");
  }

  void textRecord(uint32_t kind, int32_t number, const std::string& text) {
    std::vector<uint8_t> r((16 + text.size() + 1 + 3) / 4 * 4, 0);
    putU32(r.data(), static_cast<uint32_t>(r.size()));
    putU32(r.data() + 4, kind);
    putU32(r.data() + 8, static_cast<uint32_t>(number));
    std::memcpy(r.data() + 16, text.c_str(), text.size() + 1);
    std::string line = kind == 5 ? " " + text : std::to_string(number) + "  " + text;
    append(r.data(), static_cast<uint32_t>(r.size()), line + "\n");
  }

  // Writes the record at the next position, dropping the oldest records it
  // overwrites, and moves the next position on (back to the ring's start
  // when no more than WRAP_RESERVE bytes are left).
  void append(const uint8_t* record, uint32_t length, std::string line) {
    if (length > WRAP_RESERVE) die("record too long");
    while (!held_.empty() && held_.front().position >= next_ && held_.front().position < next_ + length) {
      held_.pop_front();
    }
    std::memcpy(block_ + next_, record, length);
    held_.push_back({next_, length, std::move(line)});
    next_ += length;
    if (next_ + WRAP_RESERVE >= blockSize_) {
      next_ = RING_START;
      ++wraps_;
    }
    // A full ring: the record at the next position is the oldest and is
    // overwritten next; the walk then goes round once from it.
    writePositions();
  }

  const MethodTables& names_;
  uint8_t* block_ = nullptr;
  uint32_t blockSize_ = 0;
  uint32_t next_ = RING_START;
  uint64_t wraps_ = 0;
  std::deque<Held> held_;  // oldest first
};

// A trace buffer: prefix (15), number digit (1), 4 unused bytes,
// textLength (4), text with its NUL.
uint8_t* traceBuffer(char digit, const std::string& text) {
  uint8_t* b = static_cast<uint8_t*>(std::calloc(1, 24 + text.size() + 1));
  if (!b) die("no memory");
  std::memcpy(b, TRACE_BUFFER_PREFIX, 15);
  b[15] = static_cast<uint8_t>(digit);
  putU32(b + 20, static_cast<uint32_t>(text.size() + 1));
  std::memcpy(b + 24, text.c_str(), text.size() + 1);
  return b;
}

// Kept where the compiler cannot drop them.
uint8_t* volatile keptBuffers[2];
uint8_t* volatile keptStale;

// Writes the expected text: the two trace buffers, then the ring's lines.
// Nothing that looks like a block may stay in memory for the dump to
// hold, so the file is written unbuffered, piece by piece, and the buffer
// prefix comes from its constant.
void writeExpected(const char* path, const std::string& buffer4, const std::string& buffer6,
                   const std::string& ringLines) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) die("cannot write the expected text");
  std::setvbuf(f, nullptr, _IONBF, 0);
  bool ok = true;
  auto put = [&](const char* data, size_t size) { ok = ok && std::fwrite(data, 1, size, f) == size; };
  put(TRACE_BUFFER_PREFIX, 15);
  put("4: ", 3);
  put(buffer4.data(), buffer4.size());
  put(TRACE_BUFFER_PREFIX, 15);
  put("6: ", 3);
  put(buffer6.data(), buffer6.size());
  put(ringLines.data(), ringLines.size());
  if (std::fclose(f) != 0 || !ok) die("cannot write the expected text");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  if (argc != 3) die("usage: traced_program EXPECTED_FILE DUMP_FILE");
#else
  if (argc < 2 || argc > 3) die("usage: traced_program EXPECTED_FILE [--core]");
  if (argc == 3 && std::strcmp(argv[2], "--core") == 0) {
    rlimit limit;
    if (getrlimit(RLIMIT_CORE, &limit) != 0) die("getrlimit");
    // Enough for this small process; a bound, so that a build gone wrong
    // (one with a sanitizer's shadow memory) cannot fill the disk.
    const rlim_t enough = rlim_t(64) << 20;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > enough ? enough : limit.rlim_max;
    if (setrlimit(RLIMIT_CORE, &limit) != 0) die("setrlimit");
  }
#endif

  MethodTables names;
  std::vector<std::string> methodNames = {"main", "loadConfig", "openStore", "readBatch", "compareItems",
                                          "writeItem", "commitBatch", "closeStore", "writeReport"};
  for (uint32_t id = 1; id <= methodNames.size(); ++id) names.add(id, methodNames[id - 1]);

  std::string buffer4 = "traced program started, ring of 16 KiB\n";
  std::string buffer6 = "last checkpoint: batch 60 of 60 committed\n";
  keptBuffers[0] = traceBuffer('6', buffer6);
  keptBuffers[1] = traceBuffer('4', buffer4);

  MemoryTrace trace(names, 4096);
  uint8_t* high = highRegion(1 << 16);
  keptStale = high;
  int32_t clock = 1714557600;  // Wed May 01 10:00:00 2024
  trace.time(clock);
  trace.entry(1, 1);
  trace.entry(1, 2);
  trace.text(4, "config sections read");
  trace.exit(1, 2);
  for (int batch = 1; batch <= 60; ++batch) {
    if (batch == 8) {
      trace.grow(16384, high + 4096 + 24);
    }
    if (batch == 20) {
      // Methods added while running: the tables grow.
      names.add(10, "retryItem");
      names.add(11, "flushJournal");
      names.add(12, "rotateLog");
    }
    trace.time(clock += 60);
    trace.entry(2, 3);
    trace.entry(2, 4);
    for (int item = 0; item < 5; ++item) {
      trace.entry(3, 5);
      trace.text(item * 100 + batch, "items compared in batch " + std::to_string(batch));
      trace.exit(3, 5);
      trace.entry(3, 6);
      trace.exit(-3, 6);
    }
    if (batch >= 20 && batch % 3 == 0) {
      trace.entry(4, 10);
      trace.exit(4, 10);
      trace.entry(4, 999);  // an id the tables never name
      trace.exit(4, 999);
    }
    trace.bareText("batch " + std::to_string(batch) + " done");
    trace.exit(2, 4);
    trace.entry(2, 7);
    trace.exit(2, 7);
    trace.exit(2, 3);
  }
  trace.entry(1, 9);
  trace.text(0, "report written");
  trace.exit(1, 9);

  writeExpected(argv[1], buffer4, buffer6, trace.lines());
  std::fprintf(stderr, "traced_program: %zu records in the ring, %" PRIu64 " wraps, block at 0x%08x\n",
               trace.records(), trace.wraps(), address32(trace.block()));

#ifdef _WIN32
  HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) die("cannot create the dump file");
  if (!MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithFullMemory, nullptr, nullptr,
                         nullptr)) {
    die("MiniDumpWriteDump failed");
  }
  CloseHandle(file);
#else
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0 || errno == EINTR) {
  }
#endif
  return 0;
}
