// ELF core files and minidumps made with the container builders for the
// tests that read one both from a file and from a stream: a live
// memory-trace block before and after other copies, none live, and a
// container whose last range reaches past the end of the file (which
// makes it none). Each case names the ring line the file gives.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/container_builder.h"
#include "support/trace_builder.h"

namespace ringlens::testing::container_cases {

constexpr uint64_t LOW = 0x00A40000;       // where the live blocks lie
constexpr uint64_t HIGH = 0x7FFD12340000;  // a stack or heap far above
constexpr uint64_t LIVE_AT = 0x100;        // the live block, in LOW

// A block whose ring is "1 >Open" (method 1) or "2 >Close" (method 2),
// with the given selfAddress.
inline std::string ringBlock(uint64_t selfAddress, int32_t method) {
  return MemoryTraceBuilder(static_cast<uint32_t>(selfAddress), 120).entry(method, static_cast<uint32_t>(method))
      .next(56)
      .build();
}
// A range of filler with `block` at `at` and, when asked, the name tables.
inline std::string rangeWith(const std::string& block, uint64_t at = LIVE_AT, bool tables = false) {
  MethodTableBuilder names;
  names.add(1, "Open").add(2, "Close");
  DumpBuilder range(0x3000);
  range.place(at, block);
  if (tables) range.place(0x1000, names.indexBlock()).place(0x2000, names.methodBlock());
  return range.str();
}
// The signature as a string constant: what follows is no header.
inline std::string constantCopy() { return std::string("****MEMORY_TRACE****") + "Unable to find trace signature" + cstr(""); }

struct ContainerCase {
  std::string name;
  std::string file;
  std::string out;  // "1 >Open\n" from the live block, "2 >Close\n" from the last
};

// Every case in an ELF core file (64- and 32-bit) and a minidump (memory
// list and 64-bit memory list): (address, range) pairs in file order.
inline std::vector<ContainerCase> containerCases() {
  using Ranges = std::vector<std::pair<uint64_t, std::string>>;
  const std::string LIVE = "1 >Open\n", LAST = "2 >Close\n";
  struct Layout {
    const char* name;
    Ranges ranges;
    std::string out;
    bool pastTheEnd = false;  // the last range's size reaches past the file's end
  };
  const Layout layouts[] = {
      {"a live block before a stale copy",
       {{LOW, rangeWith(ringBlock(LOW + LIVE_AT, 1), LIVE_AT, true)}, {HIGH, rangeWith(ringBlock(0x00B00000, 2))}},
       LIVE},
      {"a live block before a constant copy",
       {{LOW, rangeWith(ringBlock(LOW + LIVE_AT, 1), LIVE_AT, true)}, {HIGH, rangeWith(constantCopy())}}, LIVE},
      {"a stale copy before the live block",
       {{LOW - 0x10000, rangeWith(ringBlock(0x00B00000, 2))},
        {LOW, rangeWith(ringBlock(LOW + LIVE_AT, 1), LIVE_AT, true)}},
       LIVE},
      {"no live block: the last one",
       {{LOW, rangeWith(ringBlock(LOW + 8, 1), LIVE_AT, true)}, {HIGH, rangeWith(ringBlock(0x00B00000, 2))}}, LAST},
      {"a range past the end of the file: no container, the last block",
       {{LOW, rangeWith(ringBlock(LOW + LIVE_AT, 1), LIVE_AT, true)}, {HIGH, rangeWith(ringBlock(0x00B00000, 2))}},
       LAST, true},
  };
  std::vector<ContainerCase> cases;
  for (const Layout& layout : layouts) {
    for (bool wide : {true, false}) {
      // A 32-bit process has no addresses above 4 GiB: its high range is
      // at the low half, still no home of a live block.
      ElfCoreBuilder elf(wide);
      for (const auto& [address, bytes] : layout.ranges) {
        elf.segment(wide ? address : address & 0xFFFFFFFF, bytes);
      }
      if (layout.pastTheEnd) elf.fileSize(layout.ranges.size() - 1, layout.ranges.back().second.size() + 1);
      cases.push_back({std::string(layout.name) + (wide ? ", ELF64" : ", ELF32"), elf.build(), layout.out});
    }
    MinidumpBuilder list, list64;
    for (const auto& [address, bytes] : layout.ranges) {
      list.memory(address, bytes);
      list64.memory64(address, bytes);
    }
    if (layout.pastTheEnd) {
      list64.list64DataSize(layout.ranges.size() - 1, layout.ranges.back().second.size() + 1);
      cases.push_back({std::string(layout.name) + ", minidump memory64 list", list64.build(), layout.out});
    } else {
      cases.push_back({std::string(layout.name) + ", minidump memory list", list.build(), layout.out});
      cases.push_back({std::string(layout.name) + ", minidump memory64 list", list64.build(), layout.out});
    }
  }
  return cases;
}

}  // namespace ringlens::testing::container_cases
