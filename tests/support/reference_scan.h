// The dump scan done the slow, literal way: 4096-byte windows, start
// positions 0 to 4075 in each, the last 20 bytes carried to the next
// window, bytes past the data zero. The program's own scan must note
// exactly the same locations.
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "dump_trace/dump_blocks.h"

namespace ringlens::testing {

// memoryTraces, when given, receives the offset of every memory-trace
// occurrence, in order.
inline BlockLocations referenceScan(std::string_view file, std::vector<uint64_t>* memoryTraces = nullptr) {
  BlockLocations found;
  unsigned char window[WINDOW_SIZE];
  size_t readSoFar = 0;
  auto fill = [&](size_t at, size_t count) {
    size_t n = std::min(count, file.size() - readSoFar);
    std::memcpy(window + at, file.data() + readSoFar, n);
    readSoFar += n;
    return n;
  };
  std::memset(window, 0, sizeof window);
  uint64_t base = 0;
  bool shortRead = fill(0, WINDOW_SIZE) < WINDOW_SIZE;
  for (;;) {
    for (size_t i = 0; i <= WINDOW_SIZE - SIGNATURE_SIZE - 1; ++i) {
      auto at = [&](std::string_view signature) {
        return std::memcmp(window + i, signature.data(), signature.size()) == 0;
      };
      if (at(MEMORY_TRACE_SIGNATURE)) {
        found.memoryTrace = base + i;
        if (memoryTraces) memoryTraces->push_back(base + i);
      }
      if (at(TRACE_INDEX_SIGNATURE)) found.traceIndex = base + i;
      if (at(TRACE_METHOD_SIGNATURE)) found.traceMethod = base + i;
      if (at(TRACE_BUFFER_PREFIX)) {
        unsigned char digit = window[i + 15];
        size_t number = digit >= '0' && digit <= '9' ? digit - '0' : 0;
        if (number < TRACE_BUFFER_COUNT) found.traceBuffer[number] = base + i;
      }
    }
    if (shortRead) break;
    std::memmove(window, window + WINDOW_SIZE - SIGNATURE_SIZE, SIGNATURE_SIZE);
    base = readSoFar - SIGNATURE_SIZE;
    std::memset(window + SIGNATURE_SIZE, 0, WINDOW_SIZE - SIGNATURE_SIZE);
    shortRead = fill(SIGNATURE_SIZE, WINDOW_SIZE - SIGNATURE_SIZE) < WINDOW_SIZE - SIGNATURE_SIZE;
  }
  return found;
}

}  // namespace ringlens::testing
