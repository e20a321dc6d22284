// The input as a source of bytes at absolute offsets, and a buffered
// sequential reader over it. The program reads a real file (see
// openInputFile in platform.h); tests and the fuzzer read bytes held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "byte_reader.h"

namespace ringlens {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Copies up to dst.size() bytes starting at `offset` and returns how many
  // were copied. Fewer than asked means the end of the data was met; a read
  // error counts as the end of the data.
  virtual size_t readAt(uint64_t offset, std::span<uint8_t> dst) = 0;

  // The number of bytes the source held when it was opened.
  virtual uint64_t size() const = 0;

  // Gives up the underlying file; reads after this copy nothing.
  virtual void close() {}
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override;
  uint64_t size() const override { return bytes_.size(); }

 private:
  ByteView bytes_;
};

// Reads a ByteSource front to back through a fixed buffer.
class SequentialReader {
 public:
  static constexpr size_t BUFFER_SIZE = 64 * 1024;

  SequentialReader(ByteSource& source, uint64_t offset);

  // Up to `n` (at most BUFFER_SIZE) bytes at the current position, without
  // consuming them. Fewer than `n` only when the data ends sooner.
  ByteView peek(size_t n) {
    if (end_ - begin_ >= n) return {buffer_.data() + begin_, n};
    return refill(n);
  }
  // Moves the position on by `n` bytes, which must have been peeked.
  void consume(size_t n) { begin_ += n < end_ - begin_ ? n : end_ - begin_; }

 private:
  ByteView refill(size_t n);

  ByteSource& source_;
  uint64_t nextOffset_;  // source offset of the byte after the buffered ones
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;
  bool exhausted_ = false;
};

// Memory for a block copy. A large block gets a mapping of its own that
// the system may back with huge pages: copying tens of megabytes into
// freshly faulted small pages costs more than the copy itself.
struct BlockMemoryFree {
  size_t mapped = 0;  // bytes mapped; 0 for memory from new[]
  void operator()(uint8_t* data) const;
};
using BlockMemory = std::unique_ptr<uint8_t[], BlockMemoryFree>;

// `size` bytes of block memory (at least one), or null when none can be had.
BlockMemory allocateBlockMemory(size_t size);

// A copy of bytes from the input, held until the run ends.
class BlockCopy {
 public:
  BlockCopy() = default;
  BlockCopy(BlockMemory data, size_t size) : data_(std::move(data)), size_(size) {}
  BlockCopy(std::unique_ptr<uint8_t[]> data, size_t size) : data_(data.release()), size_(size) {}
  ByteView view() const { return {data_.get(), size_}; }

 private:
  BlockMemory data_;
  size_t size_ = 0;
};

// Copies the block at `offset` whose unsigned 32-bit length field lies
// `lengthFieldOffset` bytes into it. The copy holds only bytes the source
// has: a length reaching past the end gives what lies from `offset` on, a
// length field that is not wholly there gives an empty copy, and so does a
// copy for which no storage can be had.
BlockCopy loadBlock(ByteSource& source, uint64_t offset, uint64_t lengthFieldOffset);

}  // namespace ringlens
