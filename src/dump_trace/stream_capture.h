// Dumps read from a stream: a pipe or a socket cannot be read a second
// time, so the blocks the stages read are copied while the scan goes past
// them, and the stages then read those copies.
//
// For each signature, and each trace-buffer number that is written (4 to
// 11), only the occurrence that is last so far is copied: a later one
// drops the earlier copy as it starts. A copy holds what the block's length
// field says and no more, or what the stream delivers before it ends; a
// trace buffer's text ends at its first NUL. Blocks may overlap, so two
// copies may hold the same bytes. What the stream holds besides, the scan's
// window and the copies is never kept.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dump_trace/dump_blocks.h"
#include "input_file.h"
#include "output.h"
#include "trace_records.h"

namespace ringlens {

// The bytes of one block as the stream delivered them from `offset` on.
struct CapturedBlock {
  uint64_t offset = 0;
  GrowingBlock bytes;
};

// Copies blocks from the occurrences and bytes a dump scan hands on.
class StreamCapture : public ScanObserver {
 public:
  void occurrence(const SignatureOccurrence& found) override;
  void bytes(uint64_t offset, std::string_view data) override;

  // What the scan found: the last occurrence of each signature.
  const BlockLocations& locations() const { return locations_; }
  // The offset after the last byte handed on: the stream's length.
  uint64_t end() const { return end_; }
  // Bytes the copies hold now.
  uint64_t heldBytes() const;
  // The copies, given up.
  std::vector<CapturedBlock> release();

 private:
  enum Slot { MEMORY, INDEX, METHOD, FIRST_BUFFER };
  static constexpr uint32_t FIRST_WRITTEN_BUFFER = 4;
  static constexpr size_t SLOT_COUNT = FIRST_BUFFER + TRACE_BUFFER_COUNT - FIRST_WRITTEN_BUFFER;

  struct Capture {
    CapturedBlock block;
    uint64_t lengthFieldOffset = 0;  // where the block's length field lies
    bool isBuffer = false;           // a trace buffer: its text ends at a NUL
    bool lengthKnown = false;
    bool done = false;
  };
  void take(Capture& capture, uint64_t offset, ByteView data);

  std::array<std::optional<Capture>, SLOT_COUNT> slots_;
  BlockLocations locations_;
  uint64_t end_ = 0;
};

// The copied blocks as a source of bytes at their offsets: a read returns
// the bytes the copies hold from its offset on, as far as they reach. A
// block loaded from it is handed over rather than copied again.
class CapturedSource : public ByteSource {
 public:
  CapturedSource(std::vector<CapturedBlock> blocks, uint64_t size) : blocks_(std::move(blocks)), size_(size) {}

  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override;
  uint64_t size() const override { return size_; }
  std::optional<BlockCopy> takeBlock(uint64_t offset, uint64_t length) override;
  void close() override { blocks_.clear(); }

 private:
  std::vector<CapturedBlock> blocks_;
  uint64_t size_;
};

// Formats a dump read once from a stream, with the same output and status
// as the same bytes read from a file. The stream is closed after the scan.
int formatStreamDump(ByteSource& stream, TraceOutput& out);

}  // namespace ringlens
