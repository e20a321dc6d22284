#include "input_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ringlens {

size_t MemorySource::readAt(uint64_t offset, std::span<uint8_t> dst) {
  ByteView part = bytes_.slice(offset, dst.size());
  if (!part.empty()) std::memcpy(dst.data(), part.data(), part.size());
  return part.size();
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
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(wanted)]);
  if (!data) return {};
  size_t got = source.readAt(offset, {data.get(), static_cast<size_t>(wanted)});
  return {std::move(data), got};
}

}  // namespace ringlens
