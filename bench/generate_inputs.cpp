// Writes the benchmark's inputs into a folder, each with an ".expect" file
// that says how many lines ringlens writes for it and what a few of them
// are. Everything is made from fixed seeds, so every run on every machine
// gets the same bytes. An input that is already there is kept.
//
//   ringlens_bench_inputs FOLDER
//
// Inputs (N.bin with N.expect):
//   dump-1g     1 GiB dump: filler of zero pages, random bytes, text with
//               stray asterisks and near-miss signatures, and tables of
//               addresses; an early decoy of every block, a trace buffer in
//               the middle, and the buffers, the name tables and a small
//               wrapped ring near the end.
//   dump-64m    the same layout in 64 MiB, to show that memory does not
//               grow with the dump's length.
//   dump-ring   a dump holding a 64 MiB memory ring that has wrapped, with
//               2,000 method names.
//   trace-2m    a trace data file of 2,000,000 records of every kind.
//   trace-20k   the same records, only 20,000 of them.
//   scan-tteeee 256 MiB of "TTTTEEEE" repeated, and
//   scan-trace  256 MiB of "TRACE" repeated: dumps without a block, every
//               position a near miss, for the scan's worst case (ringlens
//               writes no line and ends with status 101).
//
// The expect file holds lines of three kinds:
//   lines N          the output has N lines
//   line K TEXT      line K (from 1) is TEXT
//   blocks N         the blocks ringlens must copy hold N bytes in all
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/trace_builder.h"

using namespace ringlens::testing;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
// The bench runs ringlens with TZ=UTC; time lines are written for it.
constexpr int32_t FIRST_TIME = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC

// A small, fast generator of well-spread numbers (splitmix64).
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

std::string utcTimeLine(int32_t time) {
  std::time_t t = time;
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[64];
  std::strftime(text, sizeof text, "----*%a %b %d %H:%M:%S %Y*----", &utc);
  return text;
}

// What ringlens writes for one input: the number of lines and some of them.
class Expectation {
 public:
  void line(std::string text) {
    ++count_;
    if (keep_(count_)) kept_.emplace_back(count_, std::move(text));
  }
  // Which line numbers are written to the expect file besides the last.
  void keepWhen(std::function<bool(uint64_t)> keep) { keep_ = std::move(keep); }
  void lastLine(std::string text) { last_ = std::move(text); }
  void blocks(uint64_t bytes) { blocks_ = bytes; }

  void write(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    std::fprintf(f, "lines %llu\n", static_cast<unsigned long long>(count_));
    for (const auto& [number, text] : kept_) std::fprintf(f, "line %llu %s\n", static_cast<unsigned long long>(number), text.c_str());
    if (!last_.empty()) std::fprintf(f, "line %llu %s\n", static_cast<unsigned long long>(count_), last_.c_str());
    std::fprintf(f, "blocks %llu\n", static_cast<unsigned long long>(blocks_));
    std::fclose(f);
  }

 private:
  uint64_t count_ = 0;
  uint64_t blocks_ = 0;
  std::function<bool(uint64_t)> keep_ = [](uint64_t) { return false; };
  std::vector<std::pair<uint64_t, std::string>> kept_;
  std::string last_;
};

// Writes a file by appending, under a temporary name that becomes the real
// one only when it is complete.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)), partial_(path_ + ".partial") {
    file_ = std::fopen(partial_.c_str(), "wb");
    if (!file_) throw std::runtime_error("cannot write " + partial_);
  }
  ~OutputFile() {
    if (file_) std::fclose(file_);
  }
  void append(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) throw std::runtime_error("write failed: " + partial_);
  }
  void finish() {
    if (std::fclose(file_) != 0) throw std::runtime_error("write failed: " + partial_);
    file_ = nullptr;
    if (std::rename(partial_.c_str(), path_.c_str()) != 0) throw std::runtime_error("cannot rename " + partial_);
  }

 private:
  std::string path_, partial_;
  std::FILE* file_;
};

// ---------------------------------------------------------------------------
// Dump filler

// Words of the text pages: the kind of thing a process keeps in memory,
// with stray asterisks.
const char* const WORDS[] = {
    "request", "handler", "session", "*",       "status",     "OK",      "connection", "timeout",
    "user=admin", "/var/log/app", "**",  "error", "0x7ffd0040", "queue", "retry",  "commit",
    "Trace",   "trace",   "****",    "INFO",    "WARN",       "payload", "*****",  "done",
};
constexpr size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];
// Now and then, the facility's own words and near misses of its
// signatures, never a whole signature.
const char* const NEAR_MISSES[] = {
    "TRACE", "TRACE_", "****TRACE", "**TRACE_BUFFE", "**TRACE_BUFFER", "****MEMORY_TRACE***",
    "****TRACE_INDEX****", "****TRACE_METHOD***", "*TRACE_BUFFER_", "***TRACE_INDEX*****",
};
constexpr size_t NEAR_MISS_COUNT = sizeof NEAR_MISSES / sizeof NEAR_MISSES[0];

// One 4096-byte page of filler; its kind and bytes follow from its number.
void fillPage(uint64_t pageNumber, uint8_t* page) {
  constexpr size_t PAGE = 4096;
  Random random(pageNumber * 0x2545f4914f6cdd1dull + 17);
  uint32_t kind = random.below(100);
  if (kind < 35) {  // untouched memory
    std::memset(page, 0, PAGE);
  } else if (kind < 65) {  // compressed or encrypted data
    for (size_t i = 0; i < PAGE; i += 8) {
      uint64_t v = random.next();
      std::memcpy(page + i, &v, 8);
    }
  } else if (kind < 85) {  // text: log lines, names, stray asterisks
    // Every word is followed by a blank, so that no two words, not even
    // the last of one page and the first of the next, make a signature.
    size_t i = 0;
    for (;;) {
      const char* word = random.below(500) == 0 ? NEAR_MISSES[random.below(NEAR_MISS_COUNT)] : WORDS[random.below(WORD_COUNT)];
      size_t n = std::strlen(word);
      if (n + 1 > PAGE - i) break;
      std::memcpy(page + i, word, n);
      i += n;
      page[i++] = random.below(8) == 0 ? '\n' : ' ';
    }
    std::memset(page + i, ' ', PAGE - i);
  } else {  // tables of addresses and small numbers
    for (size_t i = 0; i < PAGE; i += 4) {
      uint32_t v = random.below(4) == 0 ? random.below(1000) : 0x7ffd0000u + random.below(1 << 16) * 8;
      std::memcpy(page + i, &v, 4);
    }
  }
}

struct Placement {
  uint64_t offset;
  std::string bytes;
};

// Streams `size` bytes of filler with the blocks laid over it.
void writeDump(const std::string& path, uint64_t size, std::vector<Placement> placements) {
  constexpr size_t CHUNK = 4 * MiB;
  std::vector<uint8_t> chunk(CHUNK);
  OutputFile file(path);
  for (uint64_t start = 0; start < size; start += CHUNK) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(CHUNK, size - start));
    for (size_t page = 0; page < n; page += 4096) fillPage((start + page) / 4096, chunk.data() + page);
    for (const Placement& p : placements) {
      uint64_t from = std::max(p.offset, start), to = std::min(p.offset + p.bytes.size(), start + n);
      if (from < to) std::memcpy(chunk.data() + (from - start), p.bytes.data() + (from - p.offset), to - from);
    }
    file.append({reinterpret_cast<const char*>(chunk.data()), n});
  }
  file.finish();
}

// ---------------------------------------------------------------------------
// Method names and ring records

struct Method {
  uint32_t id;
  std::string name;
};

std::vector<Method> makeMethods(size_t count) {
  static const char* const PACKAGES[] = {"net.orders", "net.billing", "core.storage", "core.cache", "ui.forms"};
  static const char* const VERBS[] = {"handle", "load", "store", "validate", "render", "flush", "open", "close"};
  std::vector<Method> methods;
  for (size_t k = 0; k < count; ++k) {
    methods.push_back({static_cast<uint32_t>(1000 + 7 * k),
                       std::string(PACKAGES[k % 5]) + ".Component" + std::to_string(k / 8) + "." + VERBS[k % 8] +
                           (k % 3 == 0 ? "Request" : "")});
  }
  return methods;
}

MethodTableBuilder methodTables(const std::vector<Method>& methods) {
  MethodTableBuilder tables;
  for (const Method& m : methods) tables.add(m.id, m.name);
  tables.add(methods[0].id, "a later entry for the same id is never used");
  return tables;
}

constexpr uint32_t UNKNOWN_METHOD_ID = 999999;

// The ring record number `serial` writes; every kind appears, as do method
// ids that have no name.
struct RingRecord {
  uint32_t kind;
  int32_t number;
  uint32_t methodId;
  std::string text;
};

RingRecord ringRecord(uint64_t serial, const std::vector<Method>& methods) {
  int32_t number = static_cast<int32_t>(serial % 100000);
  const Method& method = methods[(serial * 7919) % methods.size()];
  if (serial % 20 == 7) return {4, FIRST_TIME + static_cast<int32_t>(serial / 20), 0, ""};
  if (serial % 20 == 3) return {3, number, 0, "step " + std::to_string(serial % 1000) + " done"};
  if (serial % 40 == 13) return {5, -number, 0, "checkpoint reached"};
  if (serial % 997 == 5) return {1, number, UNKNOWN_METHOD_ID, ""};
  if (serial % 1999 == 8) return {serial % 2 ? 0u : 6u, number, method.id, ""};
  return {serial % 2 ? 2u : 1u, number, method.id, ""};
}

// The first name given to each id.
std::map<uint32_t, std::string> namesById(const std::vector<Method>& methods) {
  std::map<uint32_t, std::string> names;
  for (const Method& m : methods) names.emplace(m.id, m.name);
  return names;
}

std::string ringLine(const RingRecord& r, const std::map<uint32_t, std::string>& names) {
  if (r.kind == 4) return utcTimeLine(r.number);
  if (r.kind == 3) return std::to_string(r.number) + "  " + r.text;
  if (r.kind == 5) return " " + r.text;
  auto name = names.find(r.methodId);
  std::string text = name != names.end() ? name->second : r.kind == 1 ? "Entry Name Unknown" : "Exit Name Unknown";
  return std::to_string(r.number) + " " + (r.kind == 1 ? ">" : "<") + text;
}

// A memory-trace block of `blockSize` bytes, written the way the tracing
// facility writes it: records one after another, the oldest overwritten
// once the ring is full, a wrap to the ring's start when no more than
// wrapReserve bytes are left. `records` are written in all; the lines the
// walk gives go to `expect`.
std::string wrappedRing(uint32_t selfAddress, uint32_t blockSize, uint64_t records, const std::vector<Method>& methods,
                        Expectation& expect) {
  constexpr uint32_t WRAP_RESERVE = 256;  // more than any record's length
  MemoryTraceBuilder ring(selfAddress, blockSize);
  ring.wrapReserve(WRAP_RESERVE);
  struct Live {
    uint32_t position;
    uint64_t serial;
  };
  std::deque<Live> live;  // the records still whole, oldest first
  uint32_t position = 40;
  bool wrapped = false;
  for (uint64_t serial = 0; serial < records; ++serial) {
    RingRecord r = ringRecord(serial, methods);
    uint32_t length = r.kind == 4 ? 12 : r.kind == 3 || r.kind == 5 ? static_cast<uint32_t>(16 + r.text.size() + 1) : 16;
    while (!live.empty() && live.front().position >= position && live.front().position < position + length) {
      live.pop_front();
    }
    ring.at(position);
    if (r.kind == 4) ring.time(r.number);
    else if (r.kind == 3 || r.kind == 5) ring.text(r.kind, r.number, r.text);
    else ring.method(r.kind, r.number, r.methodId);
    live.push_back({position, serial});
    position += length;
    if (position + WRAP_RESERVE >= blockSize) {
      position = 40;
      wrapped = true;
    }
  }
  if (!wrapped) throw std::logic_error("the ring did not wrap");
  // When the oldest record starts where the next would go, the ring is
  // full and the walk goes round it once: the same lines.
  ring.oldest(live.front().position).next(position);
  auto names = namesById(methods);
  for (const Live& l : live) expect.line(ringLine(ringRecord(l.serial, methods), names));
  return ring.build();
}

// ---------------------------------------------------------------------------
// The inputs

// The 1 GiB dump and its small twin: decoys early on, a trace buffer in the
// middle, everything else in the last MiB.
void makeLayoutDump(const std::string& folder, const std::string& name, uint64_t size) {
  Expectation expect;
  expect.keepWhen([](uint64_t line) { return line <= 5 || line % 97 == 0; });
  std::vector<Method> methods = makeMethods(200);
  MethodTableBuilder tables = methodTables(methods);
  std::vector<Placement> at;

  // Earlier copies of every signature: the last occurrence wins.
  MethodTableBuilder staleTables;
  staleTables.add(methods[0].id, "stale name");
  at.push_back({size / 8 + 3, MemoryTraceBuilder(0x1000, 4096).entry(1, methods[0].id).next(56).build()});
  at.push_back({size / 8 + 8192 + 5, staleTables.indexBlock()});
  at.push_back({size / 8 + 16384 + 7, staleTables.methodBlock()});
  at.push_back({size / 4 + 11, traceBufferBlock('5', cstr("stale text of buffer 5\n"))});
  at.push_back({size / 4 + 4096 - 10, traceBufferBlock('x', cstr("buffer x counts as buffer 0, never written\n"))});

  // The trace buffer in the middle, and one near the end.
  std::string middleText = "buffer 5 at the middle of the dump\n";
  at.push_back({size / 2 + 1234, traceBufferBlock('5', cstr(middleText))});
  uint64_t tail = size - MiB;
  at.push_back({tail + 100, traceBufferBlock('4', cstr("buffer 4 near the end\n"))});
  // The index signature straddles a 4 KiB page and a 256 KiB boundary.
  std::string index = tables.indexBlock(), method = tables.methodBlock();
  uint64_t indexAt = size - 512 * 1024 - 9;
  at.push_back({indexAt, index});
  uint64_t methodAt = indexAt + index.size() + 4096 + 3;
  at.push_back({methodAt, method});

  // Lines in output order: buffers 4 and 5, then the ring.
  expect.line("**TRACE_BUFFER_4: buffer 4 near the end");
  expect.line("**TRACE_BUFFER_5: " + middleText.substr(0, middleText.size() - 1));
  std::string ring = wrappedRing(0x40001000, 24 * 1024, 3000, methods, expect);
  at.push_back({size - ring.size() - 4096 - 1, ring});
  expect.blocks(index.size() + method.size() + ring.size());

  expect.write(folder + "/" + name + ".expect");
  writeDump(folder + "/" + name + ".bin", size, std::move(at));
}

void makeRingDump(const std::string& folder) {
  Expectation expect;
  expect.keepWhen([](uint64_t line) { return line <= 5 || line % 99991 == 0; });
  std::vector<Method> methods = makeMethods(2000);
  MethodTableBuilder tables = methodTables(methods);
  constexpr uint32_t RING_SIZE = 64 * MiB;
  // About one and a half rounds of the ring.
  std::string ring = wrappedRing(0x10000000, RING_SIZE, 5'800'000, methods, expect);
  std::string index = tables.indexBlock(), method = tables.methodBlock();
  std::vector<Placement> at;
  at.push_back({2 * MiB + 40, index});
  at.push_back({3 * MiB + 80, method});
  at.push_back({4 * MiB + 16, ring});
  expect.blocks(index.size() + method.size() + ring.size());
  expect.write(folder + "/dump-ring.expect");
  writeDump(folder + "/dump-ring.bin", 4 * MiB + 16 + ring.size() + MiB, std::move(at));
}

// Record number `serial` of the trace data file and its line; every kind,
// texts with and without their NUL.
void traceRecord(uint64_t serial, FileTraceBuilder& file, Expectation& expect) {
  static const std::vector<Method> methods = makeMethods(500);
  int32_t number = static_cast<int32_t>(serial % 65536) - 100;
  const std::string& name = methods[(serial * 31) % methods.size()].name;
  switch (serial % 16) {
    case 3: {
      int32_t time = FIRST_TIME + static_cast<int32_t>(serial / 16);
      file.time(time);
      expect.line(utcTimeLine(time));
      return;
    }
    case 5:
    case 11: {
      std::string text = "value of counter " + std::to_string(serial % 977) + " is " + std::to_string(serial);
      file.text(number, text);
      expect.line(std::to_string(number) + "  " + text);
      return;
    }
    case 7:
      file.bareText(number, "a text without a number");
      expect.line(" a text without a number");
      return;
    case 9:
      file.record(3, number, "no NUL in this field");  // the whole field is the text
      expect.line(std::to_string(number) + "  no NUL in this field");
      return;
    case 13:
      file.record(9, number, cstr(name) + "bytes after the NUL");  // a kind with no meaning of its own
      expect.line(std::to_string(number) + "  " + name);
      return;
    default:
      if (serial % 2 == 0) {
        file.entry(number, name);
        expect.line(std::to_string(number) + " >" + name);
      } else {
        file.exit(number, name);
        expect.line(std::to_string(number) + " <" + name);
      }
  }
}

void makeTraceFile(const std::string& folder, const std::string& name, uint64_t records) {
  Expectation expect;
  expect.keepWhen([](uint64_t line) { return line <= 16 || line % 49999 == 0; });
  OutputFile out(folder + "/" + name + ".bin");
  out.append(FileTraceBuilder().str());  // the signature
  for (uint64_t serial = 0; serial < records;) {
    FileTraceBuilder batch(false);
    for (uint64_t end = std::min(records, serial + 10000); serial < end; ++serial) traceRecord(serial, batch, expect);
    out.append(batch.str());
  }
  // The end record, and bytes after it that are never read.
  FileTraceBuilder end(false);
  end.end().entry(1, "never written");
  out.append(end.str());
  expect.write(folder + "/" + name + ".expect");
  out.finish();
}

// `size` bytes of one pattern repeated, with no block at all.
void makePatternDump(const std::string& folder, const std::string& name, std::string_view pattern, uint64_t size) {
  Expectation expect;
  expect.write(folder + "/" + name + ".expect");
  std::string chunk;
  while (chunk.size() < 4 * MiB) chunk += pattern;
  OutputFile file(folder + "/" + name + ".bin");
  for (uint64_t done = 0; done < size;) {
    // Each piece continues the pattern where the last one stopped.
    size_t phase = static_cast<size_t>(done % pattern.size());
    size_t n = static_cast<size_t>(std::min<uint64_t>(4 * MiB - pattern.size(), size - done));
    file.append(std::string_view(chunk).substr(phase, n));
    done += n;
  }
  file.finish();
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Names what the generator makes; inputs of another version are made anew.
constexpr const char* INPUTS_VERSION = "ringlens bench inputs 1\n";

std::string readVersion(const std::string& path) {
  char text[128] = {};
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return "";
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  return std::string(text, n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ringlens_bench_inputs FOLDER\n");
    return 2;
  }
  std::string folder = argv[1];
  struct Input {
    std::string name;
    std::function<void()> make;
  };
  const Input inputs[] = {
      {"dump-1g", [&] { makeLayoutDump(folder, "dump-1g", 1024 * MiB); }},
      {"dump-64m", [&] { makeLayoutDump(folder, "dump-64m", 64 * MiB); }},
      {"dump-ring", [&] { makeRingDump(folder); }},
      {"trace-2m", [&] { makeTraceFile(folder, "trace-2m", 2'000'000); }},
      {"trace-20k", [&] { makeTraceFile(folder, "trace-20k", 20'000); }},
      {"scan-tteeee", [&] { makePatternDump(folder, "scan-tteeee", "TTTTEEEE", 256 * MiB); }},
      {"scan-trace", [&] { makePatternDump(folder, "scan-trace", "TRACE", 256 * MiB); }},
  };
  try {
    const std::string versionFile = folder + "/inputs-version";
    const bool current = readVersion(versionFile) == INPUTS_VERSION;
    for (const Input& input : inputs) {
      std::string bin = folder + "/" + input.name + ".bin";
      if (current && exists(bin) && exists(folder + "/" + input.name + ".expect")) continue;
      std::fprintf(stderr, "generating %s\n", bin.c_str());
      input.make();
    }
    if (!current) {
      OutputFile version(versionFile);
      version.append(INPUTS_VERSION);
      version.finish();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ringlens_bench_inputs: %s\n", e.what());
    return 1;
  }
  return 0;
}
