// Process dumps: the scan for the facility's blocks and the stages that
// hand on what they hold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "dump_trace/dump_blocks.h"
#include "input_file.h"
#include "output.h"
#include "trace_records.h"

namespace ringlens {

// Formats a dump from its first byte: scan, trace buffers, blocks, ring.
// Returns STATUS_OK, or the status of the first block found missing.
int formatDump(ByteSource& file, TraceOutput& out);

// The ways the scan can search for candidate positions, fastest first. All
// give the same result; tests and the fuzzer run each one the processor
// has. FASTEST stands for the first of the others that the processor has.
enum class ScanKernel { FASTEST, AVX512, AVX2, VECTOR, PORTABLE };
// Every named kernel, in the order of preference.
std::span<const ScanKernel> scanKernels();
bool scanKernelAvailable(ScanKernel kernel);
// "avx512", "avx2", "vector", "portable"; "fastest" for FASTEST.
std::string_view scanKernelName(ScanKernel kernel);
// The kernel FASTEST stands for on this processor.
ScanKernel fastestScanKernel();

// Reads the whole file once and reports every occurrence of every
// signature, in increasing order of offset, and every byte read (see
// ScanObserver). The occurrences are those a scan of 4096-byte windows,
// each examining start positions 0 to 4075 and carrying its last 20 bytes
// to the next, would find. A kernel the processor lacks reports nothing.
void scanDump(ByteSource& file, ScanObserver& observer, ScanKernel kernel = ScanKernel::FASTEST);

// The last occurrence of each signature: the fold of the scan's reports.
class BlockLocationsFold final : public ScanObserver {
 public:
  void occurrence(const SignatureOccurrence& found) override;
  BlockLocations locations;
};
BlockLocations scanDump(ByteSource& file, ScanKernel kernel = ScanKernel::FASTEST);

// The dump's stages after the scan, in their order, on what the scan found:
// trace buffers, memory-trace block, name tables, ring. Returns STATUS_OK
// or the status of the first block found missing.
int formatDumpStages(ByteSource& file, const BlockLocations& locations, TraceOutput& out);

// Hands on the trace buffers numbered 4 to 11 that the scan found, in order
// of number. False when the consumer wanted no more.
bool printTraceBuffers(ByteSource& file, const BlockLocations& locations, RecordConsumer& consumer);

// Method ids and their names, from the trace-index and trace-method blocks.
//
// Loading the trace-method block builds the lookup table: an open-addressing
// hash of the first entry of each id, 4 bytes a slot, twice as many slots as
// entries, so it never takes more memory than the index block's copy does.
// When its storage cannot be had, lookups go through the entries in order.
class MethodNames {
 public:
  void loadTraceIndex(ByteSource& file, uint64_t offset);
  void loadTraceMethod(ByteSource& file, uint64_t offset);

  // The name of the first index entry with this id, up to its NUL or the
  // end of the trace-method block; none when no entry has the id or the
  // first one's name offset lies outside the trace-method block.
  std::optional<std::string_view> lookupMethodName(uint32_t methodId) const;

  // True when lookups use the table rather than the entries in order.
  bool hasLookupTable() const { return slots_ != nullptr; }
  // Bytes held by the lookup table.
  uint64_t lookupTableBytes() const { return uint64_t(slotCount_) * sizeof(uint32_t); }

 private:
  void buildLookupTable();
  std::optional<IndexEntry> firstEntryOf(uint32_t methodId) const;

  BlockCopy index_;
  BlockCopy method_;
  // Entry number + 1 of the first entry of an id; 0 for an empty slot.
  std::unique_ptr<uint32_t[]> slots_;
  uint64_t slotCount_ = 0;
  uint32_t seed_ = 0;
};

// The memory-trace block with its ring of records.
struct MemoryTrace {
  BlockCopy block;
  uint64_t offset = 0;  // file offset of the block
};

MemoryTrace loadMemoryTrace(ByteSource& file, uint64_t offset);

// Hands on the ring's records from the oldest to the newest, method ids
// resolved to names, and says why the walk ended.
RingSummary walkMemoryTrace(const MemoryTrace& trace, const MethodNames& names, RecordConsumer& consumer);

}  // namespace ringlens
