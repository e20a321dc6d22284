// Random inputs of both shapes made with the builders, for tests that
// compare two ways of reading the same bytes: dumps with every kind of
// block, repeated, overlapping, damaged or cut short by the end of the
// file, and trace data files with every kind of record.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "support/trace_builder.h"

namespace ringlens::testing {

class InputGenerator {
 public:
  explicit InputGenerator(uint32_t seed) : rng_(seed) {}

  uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }

  // A trace data file or a dump, about half of each.
  std::string any() { return below(3) == 0 ? traceFile() : dump(); }

  std::string traceFile() {
    FileTraceBuilder file;
    uint32_t count = below(40);
    for (uint32_t i = 0; i < count; ++i) {
      int32_t number = static_cast<int32_t>(below(2000)) - 1000;
      switch (below(8)) {
        case 0: file.time(static_cast<int32_t>(1700000000 + below(100000))); break;
        case 1: file.entry(number, word()); break;
        case 2: file.exit(number, word()); break;
        case 3: file.bareText(number, word()); break;
        case 4: file.record(below(12), number, word()); break;  // any kind, no NUL
        case 5: file.text(number, std::string(below(70000), 'L')); break;  // longer than one read
        default: file.text(number, word() + "\n"); break;
      }
    }
    if (below(4) == 0) file.end().entry(1, "AfterTheEnd");
    std::string bytes = file.str();
    if (below(4) == 0) bytes.resize(bytes.size() - below(static_cast<uint32_t>(bytes.size() - 17)));
    return bytes;
  }

  std::string dump() {
    uint32_t size = below(4) == 0 ? below(600000) : below(20000);
    DumpBuilder dump(size);
    uint32_t blocks = below(9);
    for (uint32_t i = 0; i < blocks; ++i) {
      std::string block = anyBlock();
      // Anywhere, over other blocks, at the front, or running past the end.
      uint32_t at = below(5) == 0 ? size - below(std::min<uint32_t>(size, 200) + 1) : below(size + 1);
      if (below(12) == 0) at = 0;
      dump.place(at, block);
    }
    std::string bytes = dump.str();
    if (below(3) == 0 && !bytes.empty()) bytes.resize(bytes.size() - below(static_cast<uint32_t>(std::min<size_t>(bytes.size(), 300))));
    return bytes;
  }

 private:
  std::string word() {
    static const char* const WORDS[] = {"Open", "Close", "read", "", "syncWarehouse", "x", "a longer text with blanks"};
    return WORDS[below(7)];
  }

  uint32_t anyLength(uint32_t honest) {
    switch (below(8)) {
      case 0: return 0xFFFFFFFF;
      case 1: return below(40);
      case 2: return honest + below(5000);
      default: return honest;
    }
  }

  std::string anyBlock() {
    MethodTableBuilder names;
    names.add(1, "Open").add(2, "Close").add(3, word());
    switch (below(4)) {
      case 0: {
        std::string text = below(3) == 0 ? std::string(below(100000), 'b') : word() + "\n";
        std::string field = below(4) == 0 ? text : cstr(text) + "after the NUL";
        char number = static_cast<char>(below(5) == 0 ? 'a' + below(3) : '0' + below(10));
        return traceBufferBlockWithLength(number, anyLength(static_cast<uint32_t>(field.size())), field);
      }
      case 1: return names.indexBlockWithLength(anyLength(names.indexLength()));
      case 2: return names.methodBlockWithLength(anyLength(names.methodLength()));
      default: {
        uint32_t ringSize = 80 + below(below(6) == 0 ? 200000 : 400);
        MemoryTraceBuilder ring(0x10000000u + 16 * below(1000), ringSize);
        while (ring.cursor() + 40 < ringSize) {
          switch (below(4)) {
            case 0: ring.entry(static_cast<int32_t>(below(9)), below(5)); break;
            case 1: ring.exit(static_cast<int32_t>(below(9)), below(5)); break;
            case 2: ring.time(static_cast<int32_t>(1700000000 + below(1000))); break;
            default: ring.text(3 + 2 * below(2), static_cast<int32_t>(below(99)), word()); break;
          }
        }
        uint32_t next = ring.cursor();
        ring.wrapReserve(below(3) == 0 ? below(60) : 0).oldest(40).next(below(4) == 0 ? 40 + below(next) : next);
        std::string block = ring.build();
        block.replace(24, 4, Bytes().u32(anyLength(ringSize)).str());  // blockSize
        return block;
      }
    }
  }

  std::mt19937 rng_;
};

}  // namespace ringlens::testing
