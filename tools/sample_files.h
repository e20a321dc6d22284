// The sample inputs shipped in samples/: a trace data file and a small
// process dump. make_samples writes them; the tests rebuild them here and
// check that the shipped files are byte for byte the same.
//
// The story in both: "invsync", a small inventory synchronisation job,
// loads its configuration, opens its database and syncs a few batches of
// items before writing a report. Numbers on method lines are thread
// numbers.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "support/trace_builder.h"

namespace ringlens::samples {

// 2024-05-01 10:00:00 UTC.
inline constexpr int32_t SAMPLE_START = 1714557600;

// A trace data file with every record kind: entries, exits, texts with and
// without a number, time stamps, and the end record, after which bytes
// that are never read follow.
inline std::string sampleTrace() {
  testing::FileTraceBuilder t;
  t.time(SAMPLE_START);
  t.entry(1, "main");
  t.bareText(0, "invsync 2.3 starting");
  t.entry(1, "loadConfig");
  t.text(4, "config sections read");
  t.exit(1, "loadConfig");
  t.entry(1, "syncWarehouse");
  t.text(1250, "items compared");
  t.text(17, "items updated");
  t.time(SAMPLE_START + 42);
  t.exit(1, "syncWarehouse");
  t.bareText(0, "report written");
  t.exit(1, "main");
  t.end();
  t.entry(1, "never read");
  return t.str();
}

// Lays ring records the way the tracing facility does: each record at the
// next position, back to the ring's start when no more than wrapReserve
// bytes would be left, overwriting the oldest records.
class RingWriter {
 public:
  static constexpr uint32_t RING_START = 40;

  RingWriter(uint32_t selfAddress, uint32_t blockSize, uint32_t wrapReserve)
      : ring_(selfAddress, blockSize), blockSize_(blockSize), wrapReserve_(wrapReserve) {
    ring_.wrapReserve(wrapReserve);
  }

  RingWriter& entry(int32_t number, uint32_t methodId) { return add(record(1, number, methodId)); }
  RingWriter& exit(int32_t number, uint32_t methodId) { return add(record(2, number, methodId)); }
  RingWriter& text(int32_t number, std::string_view text) { return add(textRecord(3, number, text)); }
  RingWriter& bareText(std::string_view text) { return add(textRecord(5, 0, text)); }
  RingWriter& time(int32_t seconds) {
    return add(testing::Bytes()
                   .u32(12)       // length
                   .u32(4)        // kind: time stamp
                   .i32(seconds)  // time
                   .str());
  }

  std::string build() {
    uint32_t oldest = live_.empty() ? next_ : live_.front().position;
    return ring_.oldest(oldest).next(next_).build();
  }

 private:
  struct Placed {
    uint32_t position, length;
  };

  static std::string record(uint32_t kind, int32_t number, uint32_t methodId) {
    return testing::Bytes()
        .u32(16)        // length
        .u32(kind)      // kind
        .i32(number)    // number
        .u32(methodId)  // methodId
        .str();
  }
  static std::string textRecord(uint32_t kind, int32_t number, std::string_view text) {
    std::string field = testing::cstr(text);
    return testing::Bytes()
        .u32(static_cast<uint32_t>(16 + field.size()))  // length
        .u32(kind)                                       // kind
        .i32(number)                                     // number
        .u32(0)                                          // methodId, unused
        .raw(field)                                      // text
        .str();
  }

  RingWriter& add(const std::string& bytes) {
    uint32_t length = static_cast<uint32_t>(bytes.size());
    // The oldest records that the new one overwrites are gone.
    while (!live_.empty() && live_.front().position < next_ + length &&
           live_.front().position + live_.front().length > next_) {
      live_.pop_front();
    }
    ring_.at(next_).lay(bytes);
    live_.push_back({next_, length});
    next_ += length;
    if (next_ + wrapReserve_ >= blockSize_) {
      // Records still lying beyond the wrap are older than everything from
      // the ring's start on: a reader would never reach them.
      uint32_t wrapAt = next_;
      while (!live_.empty() && live_.front().position >= wrapAt) live_.pop_front();
      next_ = RING_START;
    }
    return *this;
  }

  testing::MemoryTraceBuilder ring_;
  uint32_t blockSize_, wrapReserve_;
  uint32_t next_ = RING_START;
  std::deque<Placed> live_;
};

// Filler that looks like process memory: runs of zeros, tables of
// addresses, environment and library strings, and noise. Deterministic.
inline std::string processFiller(size_t size, uint32_t seed) {
  static const char* const STRINGS[] = {
      "PATH=/usr/local/bin:/usr/bin:/bin",
      "LANG=C.UTF-8",
      "HOME=/var/lib/invsync",
      "INVSYNC_SITE=warehouse-eu-2",
      "/usr/lib/x86_64-linux-gnu/libc.so.6",
      "/usr/lib/invsync/libinvstore.so.3",
      "batch_size=500",
      "retry_limit=3",
      "sync.example.net:8443",
      "SELECT sku, qty FROM items WHERE batch = ?",
  };
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  std::string bytes;
  while (bytes.size() < size) {
    uint32_t pick = next() % 10;
    if (pick < 4) {
      bytes.append(16 + next() % 112, '\0');
    } else if (pick < 7) {
      for (uint32_t n = 4 + next() % 12; n > 0; --n) {
        bytes += testing::Bytes().u32(0x00A40000 + (next() % 0x20000 & ~3u)).str();
      }
    } else if (pick < 9) {
      bytes += testing::cstr(STRINGS[next() % (sizeof STRINGS / sizeof STRINGS[0])]);
    } else {
      for (uint32_t n = 8 + next() % 56; n > 0; --n) bytes += static_cast<char>(next() & 0xFF);
    }
  }
  bytes.resize(size);
  return bytes;
}

// Method ids of the sample program and their names.
enum SampleMethod : uint32_t {
  MAIN = 1,
  LOAD_CONFIG = 2,
  OPEN_DATABASE = 3,
  SYNC_WAREHOUSE = 4,
  COMPARE_ITEMS = 5,
  WRITE_REPORT = 6,
};

// A 6 KiB dump: trace buffers 4 and 6, a memory ring that has wrapped,
// and the method name tables, among process memory.
inline std::string sampleDump() {
  testing::MethodTableBuilder names;
  names.add(MAIN, "main")
      .add(LOAD_CONFIG, "loadConfig")
      .add(OPEN_DATABASE, "openDatabase")
      .add(SYNC_WAREHOUSE, "syncWarehouse")
      .add(COMPARE_ITEMS, "compareItems")
      .add(WRITE_REPORT, "writeReport");

  // The ring of a 512-byte block at address 0x00A51C00: the whole run was
  // traced, and the ring kept its last part.
  RingWriter ring(0x00A51C00, 512, 64);
  ring.time(SAMPLE_START).entry(1, MAIN).bareText("invsync 2.3 starting");
  ring.entry(1, LOAD_CONFIG).text(4, "config sections read").exit(1, LOAD_CONFIG);
  ring.entry(1, OPEN_DATABASE).exit(1, OPEN_DATABASE);
  for (int32_t batch = 15; batch <= 20; ++batch) {
    ring.time(SAMPLE_START + 60 * batch);
    ring.entry(2, SYNC_WAREHOUSE).entry(2, COMPARE_ITEMS);
    ring.text(480 + batch, "items compared").exit(2, COMPARE_ITEMS);
    ring.text(batch, "batch committed").exit(2, SYNC_WAREHOUSE);
  }
  ring.entry(1, WRITE_REPORT).bareText("report written to /var/lib/invsync/report.txt").exit(1, WRITE_REPORT);
  ring.exit(1, MAIN);

  testing::DumpBuilder dump;
  dump.place(0, processFiller(6144, 0x1D5C));
  dump.place(0x0200, testing::traceBufferBlock('4', testing::cstr("invsync 2.3 pid 4711 started by scheduler\n")));
  dump.place(0x0500, testing::traceBufferBlock('6', testing::cstr("last checkpoint: batch 20 of 20 committed\n")));
  dump.place(0x0800, names.indexBlock());
  dump.place(0x0900, names.methodBlock());
  dump.place(0x0A00, ring.build());
  return dump.str();
}

}  // namespace ringlens::samples
