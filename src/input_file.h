// The input as a source of bytes at absolute offsets, and a buffered
// sequential reader over it. The program reads a real file or a stream
// (see openInputFile in platform.h); tests and the fuzzer read bytes held
// in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "byte_reader.h"

namespace ringlens {

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

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Copies up to dst.size() bytes starting at `offset` and returns how many
  // were copied. Fewer than asked means the end of the data was met; a read
  // error counts as the end of the data.
  virtual size_t readAt(uint64_t offset, std::span<uint8_t> dst) = 0;

  // The number of bytes the source held when it was opened: a hint for
  // sizing reads, never a bound. A file may hold more when it is read (it
  // grows, or reports no size at all), and a stream knows no size (0).
  virtual uint64_t size() const = 0;

  // True for a source that can only be read front to back once (a pipe or
  // a socket): readAt takes offsets at or after the bytes already read,
  // and of the bytes before them only the first HEAD_SIZE.
  virtual bool sequentialOnly() const { return false; }

  // A source that already holds the `length` bytes at `offset` in memory
  // (or as many of them as the input had) may hand them over instead of
  // having them copied; none where it does not.
  virtual std::optional<BlockCopy> takeBlock(uint64_t offset, uint64_t length) {
    (void)offset;
    (void)length;
    return std::nullopt;
  }

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

// A source read front to back once: a pipe, a FIFO, a socket. Reads go
// straight into the caller's storage when it is large, else through a
// buffer of its own. The first HEAD_SIZE bytes stay available, so that the
// check of the file-trace signature does not use them up.
class StreamSource : public ByteSource {
 public:
  static constexpr size_t HEAD_SIZE = 18;
  static constexpr size_t BUFFER_SIZE = 256 * 1024;

  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override;
  uint64_t size() const override { return 0; }
  bool sequentialOnly() const override { return true; }

  // Bytes taken from the stream so far (read or passed over).
  uint64_t position() const { return position_; }

 protected:
  // Reads at least one and at most dst.size() bytes; 0 at the end of the
  // stream or on an error.
  virtual size_t readSome(std::span<uint8_t> dst) = 0;

 private:
  void taken(const uint8_t* bytes, size_t n);
  bool refill();

  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;  // buffered bytes not yet taken
  uint64_t position_ = 0;       // stream offset of buffer_[begin_]
  uint8_t head_[HEAD_SIZE] = {};
  bool ended_ = false;
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

// Bytes gathered as they arrive, in storage that grows with them (half as
// much again, at the least, each time) and never past `limit` bytes: a
// length field read from the input bounds what is kept, not what is
// allocated ahead of the data. When storage cannot be had, the block keeps
// what it holds and takes no more.
class GrowingBlock {
 public:
  explicit GrowingBlock(uint64_t limit = 0) : limit_(limit) {}
  GrowingBlock(GrowingBlock&& other) noexcept;
  GrowingBlock& operator=(GrowingBlock&& other) noexcept;
  GrowingBlock(const GrowingBlock&) = delete;
  GrowingBlock& operator=(const GrowingBlock&) = delete;

  size_t size() const { return size_; }
  uint64_t limit() const { return limit_; }
  // Moves the limit; never below the bytes already held.
  void setLimit(uint64_t limit) { limit_ = limit < size_ ? size_ : limit; }
  // True once the limit is reached or storage ran out.
  bool full() const { return failed_ || size_ >= limit_; }
  ByteView view() const { return {data_.get(), size_}; }

  // Room for up to `want` more bytes (fewer at the limit; none when full
  // or when no storage can be had), to be filled and then committed.
  std::span<uint8_t> spare(uint64_t want);
  void commit(size_t n) { size_ += n; }
  // Appends as much of `bytes` as the limit and storage allow; returns how
  // many were taken.
  size_t append(ByteView bytes);
  // Keeps only the first `n` bytes.
  void truncate(size_t n) {
    if (n < size_) size_ = n;
  }
  // The bytes as a copy of their own, storage trimmed to them.
  BlockCopy release();

 private:
  BlockMemory data_;
  size_t size_ = 0, capacity_ = 0;
  uint64_t limit_;
  bool failed_ = false;
};

// Copies the block at `offset` whose unsigned 32-bit length field lies
// `lengthFieldOffset` bytes into it. The copy holds the bytes the source
// has when it is read, up to the length: a length reaching past the end
// gives what lies from `offset` on, a length field that is not wholly
// there gives an empty copy. Storage grows as the bytes arrive, so a
// length field larger than the input costs nothing; where storage runs out
// the copy keeps what it holds.
BlockCopy loadBlock(ByteSource& source, uint64_t offset, uint64_t lengthFieldOffset);

}  // namespace ringlens
