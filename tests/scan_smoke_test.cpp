#include <gtest/gtest.h>

#include <random>

#include "dump_trace/dump_trace.h"
#include "support/reference_scan.h"
#include "support/trace_builder.h"

namespace ringlens {
namespace {

BlockLocations scan(const std::string& bytes) {
  MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return scanDump(source);
}

TEST(ScanSmoke, MatchesReferenceOnRandomPlacements) {
  std::mt19937 rng(7);
  const std::string_view sigs[] = {"****MEMORY_TRACE****", "****TRACE_INDEX*****", "****TRACE_METHOD****",
                                   "**TRACE_BUFFER_7", "**TRACE_BUFFER_", "**TRACE_BUFFER_x"};
  for (int round = 0; round < 3000; ++round) {
    size_t size = rng() % 3 == 0 ? rng() % 600000 : 4096 * (1 + rng() % 3) + rng() % 64 - 32;
    testing::DumpBuilder dump(size);
    int count = 1 + rng() % 6;
    for (int k = 0; k < count; ++k) {
      std::string_view sig = sigs[rng() % 6];
      size_t near[] = {0, 4076 - 16, 4096 - 16, size - sig.size(), size - sig.size() + 3, size_t(rng()) % (size + 1),
                       4076 * 2 - 7, 262144 - 19 - 3, 262144 - 5};
      size_t at = near[rng() % 9];
      if (at > size) continue;
      dump.place(at, sig.substr(0, std::min(sig.size(), size - at)));
    }
    std::string bytes = dump.str();
    ASSERT_EQ(scan(bytes), testing::referenceScan(bytes)) << "round " << round << " size " << bytes.size();
  }
}

}  // namespace
}  // namespace ringlens
