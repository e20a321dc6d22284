#include "input_file.h"

#include <algorithm>
#include <cstring>
#include <new>

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

BlockCopy loadBlock(ByteSource& source, uint64_t offset, uint64_t lengthFieldOffset) {
  uint8_t field[4];
  Cursor lengthField(ByteView(field, source.readAt(offset + lengthFieldOffset, field)));
  uint64_t length = lengthField.u32();
  if (!lengthField.ok()) return {};
  uint64_t size = source.size();
  if (offset >= size) return {};
  uint64_t wanted = std::min(length, size - offset);
  if (wanted > SIZE_MAX) return {};
  BlockMemory data = allocateBlockMemory(static_cast<size_t>(wanted));
  if (!data) return {};
  size_t got = source.readAt(offset, {data.get(), static_cast<size_t>(wanted)});
  return {std::move(data), got};
}

}  // namespace ringlens
