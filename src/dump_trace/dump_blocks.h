// The tracing facility's blocks as they lie in a process dump, and where a
// scan found them.
//
// Trace buffer:   "**TRACE_BUFFER_" (15), number digit (1), unused (4),
//                 textLength (4), text (textLength)
// Trace index:    "****TRACE_INDEX*****" (20), blockLength (4),
//                 entries of methodId (4) and nameOffset (4)
// Trace method:   "****TRACE_METHOD****" (20), blockLength (4), names
// Memory trace:   "****MEMORY_TRACE****" (20), selfAddress (4),
//                 blockSize (4), oldestRecord (4), nextRecord (4),
//                 wrapReserve (4), ring records from offset 40
// Ring record:    length (4), kind (4), number or time (4), methodId (4),
//                 text from offset 16 for kinds 3 and 5
//
// blockLength and blockSize count the whole block, signature included.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ringlens {

inline constexpr std::string_view MEMORY_TRACE_SIGNATURE = "****MEMORY_TRACE****";
inline constexpr std::string_view TRACE_INDEX_SIGNATURE = "****TRACE_INDEX*****";
inline constexpr std::string_view TRACE_METHOD_SIGNATURE = "****TRACE_METHOD****";
inline constexpr std::string_view TRACE_BUFFER_PREFIX = "**TRACE_BUFFER_";

// The scan reads the dump in windows of WINDOW_SIZE bytes, carrying the
// last SIGNATURE_SIZE bytes of one window to the front of the next.
inline constexpr size_t WINDOW_SIZE = 4096;
inline constexpr size_t SIGNATURE_SIZE = 20;
inline constexpr size_t TRACE_BUFFER_COUNT = 12;

// Trace-buffer block.
inline constexpr uint64_t BUFFER_NUMBER_OFFSET = 15;
inline constexpr uint64_t BUFFER_TEXT_LENGTH_OFFSET = 20;
inline constexpr uint64_t BUFFER_TEXT_OFFSET = 24;

// Trace-index and trace-method blocks.
inline constexpr uint64_t BLOCK_LENGTH_OFFSET = 20;
inline constexpr uint64_t INDEX_ENTRIES_OFFSET = 24;
inline constexpr uint64_t INDEX_ENTRY_SIZE = 8;

// Memory-trace block.
inline constexpr uint64_t SELF_ADDRESS_OFFSET = 20;
inline constexpr uint64_t BLOCK_SIZE_OFFSET = 24;
inline constexpr uint64_t OLDEST_RECORD_OFFSET = 28;
inline constexpr uint64_t NEXT_RECORD_OFFSET = 32;
inline constexpr uint64_t WRAP_RESERVE_OFFSET = 36;
inline constexpr uint32_t RING_START = 40;

// Ring record.
inline constexpr uint64_t RECORD_KIND_OFFSET = 4;
inline constexpr uint64_t RECORD_NUMBER_OFFSET = 8;  // the time, for kind 4
inline constexpr uint64_t RECORD_METHOD_ID_OFFSET = 12;
inline constexpr uint64_t RECORD_TEXT_OFFSET = 16;

// File offsets of the last occurrence of each signature; 0 means that it
// was not found (a block at the very first byte is never found).
struct BlockLocations {
  uint64_t memoryTrace = 0;
  uint64_t traceIndex = 0;
  uint64_t traceMethod = 0;
  std::array<uint64_t, TRACE_BUFFER_COUNT> traceBuffer{};

  bool operator==(const BlockLocations&) const = default;
};

}  // namespace ringlens
