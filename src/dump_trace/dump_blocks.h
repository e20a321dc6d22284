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
#include <optional>
#include <string_view>

#include "byte_reader.h"
#include "ringlens.h"

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

inline constexpr uint64_t TIME_RECORD_SIZE = 12;   // length, kind, time
inline constexpr uint64_t EVENT_RECORD_SIZE = 16;  // length, kind, number, methodId

// ---------------------------------------------------------------------------
// Each structure decoded once into a value: a decoder gives the whole value
// when every field it needs lies inside the bytes, and nothing otherwise.

// The 40-byte header of a memory-trace block.
struct RingHeader {
  uint32_t selfAddress = 0;
  uint32_t blockSize = 0;
  uint32_t oldestRecord = 0;
  uint32_t nextRecord = 0;
  uint32_t wrapReserve = 0;
};

inline std::optional<RingHeader> decodeRingHeader(ByteView block) {
  Cursor fields(block, SELF_ADDRESS_OFFSET);
  RingHeader header;
  header.selfAddress = fields.u32();
  header.blockSize = fields.u32();
  header.oldestRecord = fields.u32();
  header.nextRecord = fields.u32();
  header.wrapReserve = fields.u32();
  if (!fields.ok()) return std::nullopt;
  return header;
}

// A record of the ring. A time record (kind 4) holds length, kind and time
// (12 bytes); every other record also a method id (16 bytes), and kinds 3
// and 5 a text from offset 16 to its NUL or the end of the block.
struct RingRecord {
  uint32_t length = 0;
  uint32_t kind = 0;
  int32_t number = 0;  // the time stamp for kind 4
  uint32_t methodId = 0;
  std::string_view text;
};

inline std::optional<RingRecord> decodeRingRecord(ByteView block, uint64_t position) {
  Cursor fields(block, position);
  RingRecord record;
  record.length = fields.u32();
  record.kind = fields.u32();
  record.number = fields.i32();
  if (record.kind != TRACE_TIME) record.methodId = fields.u32();
  if (!fields.ok()) return std::nullopt;
  if (record.kind == TRACE_TEXT || record.kind == TRACE_BARE_TEXT) record.text = fields.rest().text();
  return record;
}

// An entry of the trace-index block.
struct IndexEntry {
  uint32_t methodId = 0;
  uint32_t nameOffset = 0;
};

// The entries wholly inside the copy of a trace-index block.
inline uint64_t indexEntryCount(ByteView index) {
  return index.size() < INDEX_ENTRIES_OFFSET ? 0 : (index.size() - INDEX_ENTRIES_OFFSET) / INDEX_ENTRY_SIZE;
}

inline std::optional<IndexEntry> decodeIndexEntry(ByteView index, uint64_t entry) {
  if (entry >= indexEntryCount(index)) return std::nullopt;
  Cursor fields(index, INDEX_ENTRIES_OFFSET + entry * INDEX_ENTRY_SIZE);
  IndexEntry decoded;
  decoded.methodId = fields.u32();
  decoded.nameOffset = fields.u32();
  if (!fields.ok()) return std::nullopt;
  return decoded;
}

// The 24 bytes before a trace buffer's text.
struct TraceBufferHeader {
  uint32_t number = 0;  // the digit after the prefix; 0 for any other byte
  uint32_t textLength = 0;
};

inline constexpr size_t TRACE_BUFFER_HEADER_SIZE = BUFFER_TEXT_OFFSET;

// The buffer number a byte gives: a decimal digit, or 0.
inline uint32_t bufferNumberOf(uint8_t digit) {
  return digit >= '0' && digit <= '9' ? uint32_t(digit - '0') : 0;
}

inline std::optional<TraceBufferHeader> decodeTraceBufferHeader(ByteView head) {
  Cursor fields(head);
  fields.skip(BUFFER_NUMBER_OFFSET);  // the prefix
  uint8_t digit = fields.u8();
  fields.skip(BUFFER_TEXT_LENGTH_OFFSET - BUFFER_NUMBER_OFFSET - 1);  // not examined
  TraceBufferHeader header;
  header.textLength = fields.u32();
  if (!fields.ok()) return std::nullopt;
  header.number = bufferNumberOf(digit);
  return header;
}

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
