#include "input_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#ifndef _WIN32
#include <sys/mman.h>
#endif

namespace ringlens {

size_t MemorySource::readAt(uint64_t offset, std::span<uint8_t> dst) {
  ByteView part = bytes_.slice(offset, dst.size());
  if (!part.empty()) std::memcpy(dst.data(), part.data(), part.size());
  return part.size();
}

namespace {

// Blocks from this size on get a mapping of their own, placed on a huge
// page boundary.
constexpr size_t MAPPED_BLOCK_SIZE = 2 * 1024 * 1024;
constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

}  // namespace

void BlockMemoryFree::operator()(uint8_t* data) const {
#ifndef _WIN32
  if (mapped != 0) {
    munmap(data, mapped);
    return;
  }
#endif
  delete[] data;
}

BlockMemory allocateBlockMemory(size_t size) {
  if (size == 0) size = 1;
#if !defined(_WIN32) && defined(MAP_ANONYMOUS)
  if (size >= MAPPED_BLOCK_SIZE && size <= SIZE_MAX - 2 * HUGE_PAGE_SIZE) {
    // Map a huge page more than needed and give back what lies before the
    // first boundary and after the block's last huge page.
    size_t length = (size + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
    void* area = mmap(nullptr, length + HUGE_PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area != MAP_FAILED) {
      auto* start = static_cast<uint8_t*>(area);
      size_t lead = (HUGE_PAGE_SIZE - reinterpret_cast<uintptr_t>(start) % HUGE_PAGE_SIZE) % HUGE_PAGE_SIZE;
      if (lead > 0) munmap(start, lead);
      munmap(start + lead + length, HUGE_PAGE_SIZE - lead);
#ifdef MADV_HUGEPAGE
      madvise(start + lead, length, MADV_HUGEPAGE);  // advice only: small pages work too
#endif
      return BlockMemory(start + lead, BlockMemoryFree{length});
    }
  }
#endif
  return BlockMemory(new (std::nothrow) uint8_t[size]);
}

// ---------------------------------------------------------------------------
// Streams

void StreamSource::taken(const uint8_t* bytes, size_t n) {
  if (position_ < HEAD_SIZE) {
    size_t keep = static_cast<size_t>(std::min<uint64_t>(n, HEAD_SIZE - position_));
    std::memcpy(head_ + position_, bytes, keep);
  }
  position_ += n;
}

bool StreamSource::refill() {
  if (ended_) return false;
  if (buffer_.empty()) {
    try {
      buffer_.resize(BUFFER_SIZE);
    } catch (const std::bad_alloc&) {
      ended_ = true;
      return false;
    }
  }
  begin_ = 0;
  end_ = readSome(buffer_);
  if (end_ == 0) ended_ = true;
  return end_ > 0;
}

size_t StreamSource::readAt(uint64_t offset, std::span<uint8_t> dst) {
  size_t done = 0;
  if (offset < position_) {
    // Only the head is still held of the bytes already taken.
    if (offset < HEAD_SIZE) {
      done = static_cast<size_t>(std::min<uint64_t>(dst.size(), std::min<uint64_t>(position_, HEAD_SIZE) - offset));
      std::memcpy(dst.data(), head_ + offset, done);
      offset += done;
    }
    if (done == dst.size() || offset != position_) return done;
  }
  // Bytes before `offset` are passed over.
  while (position_ < offset) {
    if (begin_ == end_ && !refill()) return done;
    size_t skip = static_cast<size_t>(std::min<uint64_t>(end_ - begin_, offset - position_));
    taken(buffer_.data() + begin_, skip);
    begin_ += skip;
  }
  while (done < dst.size()) {
    if (begin_ < end_) {
      size_t n = std::min(end_ - begin_, dst.size() - done);
      std::memcpy(dst.data() + done, buffer_.data() + begin_, n);
      taken(buffer_.data() + begin_, n);
      begin_ += n;
      done += n;
    } else if (dst.size() - done >= BUFFER_SIZE / 4) {
      // A large read goes straight to the caller.
      if (ended_) break;
      size_t n = readSome(dst.subspan(done));
      if (n == 0) {
        ended_ = true;
        break;
      }
      taken(dst.data() + done, n);
      done += n;
    } else if (!refill()) {
      break;
    }
  }
  return done;
}

// ---------------------------------------------------------------------------
// Sequential reading

SequentialReader::SequentialReader(ByteSource& source, uint64_t offset)
    : source_(source), nextOffset_(offset), buffer_(BUFFER_SIZE) {}

ByteView SequentialReader::refill(size_t n) {
  n = std::min(n, BUFFER_SIZE);
  if (end_ - begin_ < n && !exhausted_) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    std::span<uint8_t> free(buffer_.data() + end_, BUFFER_SIZE - end_);
    size_t got = source_.readAt(nextOffset_, free);
    nextOffset_ += got;
    end_ += got;
    if (got < free.size()) exhausted_ = true;
  }
  return {buffer_.data() + begin_, std::min(n, end_ - begin_)};
}

// ---------------------------------------------------------------------------
// Growing blocks

GrowingBlock::GrowingBlock(GrowingBlock&& other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      limit_(other.limit_),
      failed_(other.failed_) {}

GrowingBlock& GrowingBlock::operator=(GrowingBlock&& other) noexcept {
  if (this != &other) {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    limit_ = other.limit_;
    failed_ = other.failed_;
  }
  return *this;
}

std::span<uint8_t> GrowingBlock::spare(uint64_t want) {
  constexpr uint64_t SMALLEST = 4096;
  if (full() || want == 0) return {};
  uint64_t wanted = std::min<uint64_t>(want, limit_ - size_);
  if (capacity_ - size_ < wanted) {
    // Half as much again as held, at the least: the block grows with the
    // data, and never past the limit.
    uint64_t grown = std::max<uint64_t>({size_ + wanted, uint64_t(capacity_) + capacity_ / 2, SMALLEST});
    grown = std::min<uint64_t>(grown, limit_);
    if (grown > SIZE_MAX) grown = SIZE_MAX;
    // Block memory (a mapping of its own once large); what is held moves
    // over to it.
    BlockMemory moved = allocateBlockMemory(static_cast<size_t>(grown));
    if (!moved) {
      failed_ = true;
      return {};
    }
    if (size_ > 0) std::memcpy(moved.get(), data_.get(), size_);
    data_ = std::move(moved);
    capacity_ = static_cast<size_t>(grown);
    wanted = std::min<uint64_t>(wanted, capacity_ - size_);
  }
  return {data_.get() + size_, static_cast<size_t>(wanted)};
}

size_t GrowingBlock::append(ByteView bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    std::span<uint8_t> room = spare(bytes.size() - done);
    if (room.empty()) break;
    std::memcpy(room.data(), bytes.data() + done, room.size());
    commit(room.size());
    done += room.size();
  }
  return done;
}

BlockCopy GrowingBlock::release() {
  BlockCopy copy;
  if (size_ > 0) {
#ifndef _WIN32
    if (size_t mapped = data_.get_deleter().mapped; mapped != 0) {
      // A mapping gives back its huge pages past the bytes held.
      size_t keep = (size_ + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
      if (keep < mapped && munmap(data_.get() + keep, mapped - keep) == 0) data_.get_deleter().mapped = keep;
    } else
#endif
    if (capacity_ - size_ > 4096) {
      // Heap memory is trimmed by a copy of the bytes held, where that can
      // be had.
      if (BlockMemory trimmed = allocateBlockMemory(size_)) {
        std::memcpy(trimmed.get(), data_.get(), size_);
        data_ = std::move(trimmed);
      }
    }
    copy = BlockCopy(std::move(data_), size_);
  }
  data_.reset();
  size_ = capacity_ = 0;
  return copy;
}

BlockCopy loadBlock(ByteSource& source, uint64_t offset, uint64_t lengthFieldOffset) {
  // Bytes asked for beyond what the size at open leaves: a file that grew
  // since, or one that reported no size, is read on to its real end.
  constexpr uint64_t SLACK = 64 * 1024;
  uint8_t field[4];
  Cursor lengthField(ByteView(field, source.readAt(offset + lengthFieldOffset, field)));
  uint64_t length = lengthField.u32();
  if (!lengthField.ok()) return {};
  if (std::optional<BlockCopy> held = source.takeBlock(offset, length)) return std::move(*held);

  uint64_t hint = source.size();
  GrowingBlock block(length);
  uint64_t ask = std::min(length, (hint > offset ? hint - offset : 0) + SLACK);
  for (;;) {
    std::span<uint8_t> room = block.spare(ask);
    if (room.empty()) break;
    size_t got = source.readAt(offset + block.size(), room);
    block.commit(got);
    if (got < room.size()) break;
    ask = std::max<uint64_t>(block.size(), SLACK);
  }
  return block.release();
}

}  // namespace ringlens
