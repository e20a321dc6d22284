// Bounded access to trace data bytes. Every read of trace data goes
// through ByteView or Cursor: integers are little-endian, and a read that
// would reach past the end of the bytes held says so instead of reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace ringlens {

class ByteView {
 public:
  ByteView() = default;
  ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint8_t* data() const { return data_; }

  // True when [offset, offset + length) lies wholly inside the view.
  bool contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  std::optional<uint8_t> u8(uint64_t offset) const {
    if (!contains(offset, 1)) return std::nullopt;
    return data_[offset];
  }

  std::optional<uint32_t> u32(uint64_t offset) const {
    if (!contains(offset, 4)) return std::nullopt;
    const uint8_t* p = data_ + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }

  std::optional<int32_t> i32(uint64_t offset) const {
    auto v = u32(offset);
    if (!v) return std::nullopt;
    return static_cast<int32_t>(*v);
  }

  // The bytes [offset, offset + length), clipped to the view; empty when
  // offset lies at or beyond its end.
  ByteView slice(uint64_t offset, uint64_t length = UINT64_MAX) const {
    if (offset >= size_) return {};
    size_t rest = size_ - static_cast<size_t>(offset);
    size_t n = length < rest ? static_cast<size_t>(length) : rest;
    return {data_ + offset, n};
  }

  // True when the bytes at offset equal `bytes`, all of them inside the view.
  bool equals(uint64_t offset, std::string_view bytes) const {
    return contains(offset, bytes.size()) &&
           (bytes.empty() || std::memcmp(data_ + offset, bytes.data(), bytes.size()) == 0);
  }

  // The view's bytes up to, not including, the first NUL; all of them when
  // there is none.
  std::string_view text() const {
    if (size_ == 0) return {};
    const void* nul = std::memchr(data_, 0, size_);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data_) : size_;
    return {reinterpret_cast<const char*>(data_), n};
  }

  std::string_view chars() const {
    return {reinterpret_cast<const char*>(data_), size_};
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Reads fields one after another from a ByteView. The first read that does
// not fit makes the cursor fail; it stays failed and later reads give 0.
class Cursor {
 public:
  explicit Cursor(ByteView view, uint64_t offset = 0) : view_(view), offset_(offset) {}

  uint8_t u8() {
    auto v = ok_ ? view_.u8(offset_) : std::nullopt;
    if (!v) {
      ok_ = false;
      return 0;
    }
    offset_ += 1;
    return *v;
  }

  uint32_t u32() {
    auto v = ok_ ? view_.u32(offset_) : std::nullopt;
    if (!v) {
      ok_ = false;
      return 0;
    }
    offset_ += 4;
    return *v;
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }

  // The next `length` bytes, all of them inside the view, or an empty view
  // and a failed cursor.
  ByteView bytes(uint64_t length) {
    if (!ok_ || !view_.contains(offset_, length)) {
      ok_ = false;
      return {};
    }
    ByteView part = view_.slice(offset_, length);
    offset_ += length;
    return part;
  }
  // Moves on by `length` bytes, which must lie inside the view.
  bool skip(uint64_t length) {
    bytes(length);
    return ok_;
  }
  // A text field of `length` bytes: its bytes up to the first NUL, or all
  // of them when it holds none. The whole field must lie inside the view.
  std::string_view text(uint64_t length) { return bytes(length).text(); }

  // The bytes from the cursor to the end of the view (none once failed).
  ByteView rest() const { return ok_ ? view_.slice(offset_) : ByteView(); }

  bool ok() const { return ok_; }
  uint64_t offset() const { return offset_; }

 private:
  ByteView view_;
  uint64_t offset_;
  bool ok_ = true;
};

}  // namespace ringlens
