// Dumps read from a stream: a pipe or a socket cannot be read a second
// time, so the blocks the stages read are copied while the scan goes past
// them, and the stages then read those copies.
//
// For each signature, and each trace-buffer number that is written (4 to
// 11), only the occurrence that is last so far is copied: a later one
// drops the earlier copy as it starts. A copy holds what the block's length
// field says and no more, or what the stream delivers before it ends; a
// trace buffer's text ends at its first NUL. Blocks may overlap, so two
// copies may hold the same bytes.
//
// The memory trace of an ELF core file or a minidump is chosen as from a
// file (see BlockChoice): the last live occurrence, else the last one. So
// besides the last occurrence its copy keeps the last live one, and an
// occurrence inside a mapped range while its selfAddress is still to come.
// The address map comes from the stream's head: every dumper writes the
// headers and the range tables before the memory. The head is kept as far
// as the map's reader asks for it, at most HeadedStream::HEAD_LIMIT bytes.
//
// What the stream holds besides, the scan's window, the head and the
// copies is never kept.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dump_trace/dump_blocks.h"
#include "dump_trace/dump_container.h"
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
  // `map`, when given, is the container's address map; it must outlive
  // the capture.
  explicit StreamCapture(const AddressMap* map = nullptr) : map_(map) {}

  void occurrence(const SignatureOccurrence& found) override;
  void bytes(uint64_t offset, std::string_view data) override;

  // What the scan found: the last occurrence of each signature.
  const BlockLocations& locations() const { return locations_; }
  // The last memory-trace occurrence that is live under the map.
  std::optional<uint64_t> lastLiveMemoryTrace() const { return lastLive_; }
  // The offset after the last byte handed on: the stream's length.
  uint64_t end() const { return end_; }
  // Bytes the copies hold now.
  uint64_t heldBytes() const;
  // The copies, given up; of the memory trace's only the one at
  // `memoryTrace` when it is given.
  std::vector<CapturedBlock> release(std::optional<uint64_t> memoryTrace = std::nullopt);

 private:
  enum Slot { INDEX, METHOD, FIRST_BUFFER };
  static constexpr uint32_t FIRST_WRITTEN_BUFFER = 4;
  static constexpr size_t SLOT_COUNT = FIRST_BUFFER + TRACE_BUFFER_COUNT - FIRST_WRITTEN_BUFFER;

  struct Capture {
    CapturedBlock block;
    uint64_t lengthFieldOffset = 0;  // where the block's length field lies
    bool isBuffer = false;           // a trace buffer: its text ends at a NUL
    bool lengthKnown = false;
    bool done = false;
  };
  // A memory-trace copy and whether it is live: PENDING while its
  // selfAddress is still to come.
  enum class Liveness { PENDING, LIVE, NOT_LIVE };
  struct MemoryCapture {
    Capture capture;
    Liveness liveness = Liveness::NOT_LIVE;
    uint64_t address = 0;  // PENDING: the process address of its first byte
  };

  void take(Capture& capture, uint64_t offset, ByteView data);
  void decideLiveness(MemoryCapture& memory);
  // Drops the memory-trace copies that can no longer be used.
  void dropUnused();

  const AddressMap* map_;
  std::array<std::optional<Capture>, SLOT_COUNT> slots_;
  std::vector<MemoryCapture> memory_;  // in increasing order of offset
  BlockLocations locations_;
  std::optional<uint64_t> lastLive_;
  uint64_t end_ = 0;
};

// A stream whose first bytes are kept as far as they are asked for through
// head(), at most HEAD_LIMIT of them, so that a container's headers can be
// read before the scan and again once the stream's length is known. The
// scan reads through it: the kept bytes first, then the stream itself.
class HeadedStream : public ByteSource {
 public:
  static constexpr uint64_t HEAD_LIMIT = 16 << 20;

  explicit HeadedStream(ByteSource& stream) : stream_(stream), head_(HEAD_LIMIT) {}

  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override;
  uint64_t size() const override { return 0; }
  bool sequentialOnly() const override { return true; }
  void close() override { stream_.close(); }

  // The kept head as a source of `size` bytes (its size is a bound only
  // for the reader of the headers); reads beyond the head come short.
  // Until the stream is read past the head, reads through it take more
  // of the stream into the head.
  class Head : public ByteSource {
   public:
    Head(HeadedStream& stream, uint64_t size) : stream_(stream), size_(size) {}
    size_t readAt(uint64_t offset, std::span<uint8_t> dst) override;
    uint64_t size() const override { return size_; }

   private:
    HeadedStream& stream_;
    uint64_t size_;
  };
  Head head(uint64_t size) { return Head(*this, size); }

  // True when a read of the head was cut short by HEAD_LIMIT rather than
  // by the end of the stream.
  bool headCutShort() const { return cutShort_; }
  // Bytes the head holds.
  uint64_t headBytes() const { return head_.size(); }
  // Gives up the head.
  void dropHead() { head_ = GrowingBlock(); }

 private:
  // Takes stream bytes into the head until it holds `end` bytes (at most
  // HEAD_LIMIT), unless the stream has ended or been read past the head.
  void fillHead(uint64_t end);

  ByteSource& stream_;
  GrowingBlock head_;
  bool frozen_ = false;  // the stream has been read past the head, or no storage was had
  bool ended_ = false;   // the stream ended inside the head
  bool cutShort_ = false;
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
