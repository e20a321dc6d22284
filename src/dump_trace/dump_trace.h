// Process dumps: the scan for the facility's blocks and the stages that
// write what they hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "dump_trace/dump_blocks.h"
#include "input_file.h"
#include "output.h"

namespace ringlens {

// Formats a dump from its first byte: scan, trace buffers, blocks, ring.
// Returns STATUS_OK, or the status of the first block found missing.
int formatDump(ByteSource& file, TraceOutput& out);

// How the scan searches for candidate positions: the fastest way this
// processor has, or one named way. All give the same result; tests run
// each one the processor has.
enum class ScanKernel { FASTEST, PORTABLE, VECTOR, AVX2, AVX512 };
bool scanKernelAvailable(ScanKernel kernel);

// Reads the whole file once and notes the last occurrence of each
// signature. The result equals what a scan of 4096-byte windows, each
// examining start positions 0 to 4075 and carrying its last 20 bytes to
// the next, would note.
BlockLocations scanDump(ByteSource& file, ScanKernel kernel = ScanKernel::FASTEST);

// Writes the trace buffers numbered 4 to 11 that the scan found, in order
// of number, each as "**TRACE_BUFFER_", the number, ": " and its text, with
// no end of line added.
void printTraceBuffers(ByteSource& file, const BlockLocations& locations, TraceOutput& out);

// Method ids and their names, from the trace-index and trace-method blocks.
class MethodNames {
 public:
  void loadTraceIndex(ByteSource& file, uint64_t offset);
  void loadTraceMethod(ByteSource& file, uint64_t offset);

  // The name of the first index entry with this id, up to its NUL or the
  // end of the trace-method block; none when no entry has the id or the
  // first one's name offset lies outside the trace-method block.
  std::optional<std::string_view> lookupMethodName(uint32_t methodId) const;

 private:
  std::optional<uint32_t> nameOffsetOf(uint32_t methodId) const;
  std::optional<std::string_view> findMethodName(uint32_t methodId) const;

  BlockCopy index_;
  BlockCopy method_;
  // The first entry of each method id, sorted by id, so that a lookup is a
  // binary search over one small array. Empty when it could not be built;
  // lookups then go through the entries.
  struct FirstEntry {
    uint32_t methodId;
    uint32_t nameOffset;
  };
  std::vector<FirstEntry> firstById_;

  // The names looked up last, by id: a ring names the same few methods
  // over and over. Filled on demand, emptied whenever a block is loaded.
  struct RecentName {
    uint32_t methodId;
    bool filled;
    std::optional<std::string_view> name;
  };
  // Four slots for each id the index names, within these bounds.
  static constexpr unsigned FEWEST_RECENT_NAME_BITS = 10;
  static constexpr unsigned MOST_RECENT_NAME_BITS = 16;
  mutable std::vector<RecentName> recentNames_;
  mutable unsigned recentNameBits_ = FEWEST_RECENT_NAME_BITS;
};

// The memory-trace block with its ring of records.
struct MemoryTrace {
  BlockCopy block;
};

MemoryTrace loadMemoryTrace(ByteSource& file, uint64_t offset);

// Writes the ring's records from the oldest to the newest.
void walkMemoryTrace(const MemoryTrace& trace, const MethodNames& names, TraceOutput& out);

}  // namespace ringlens
