// Readable builders for trace data files and process dumps, used by the
// tests, the sample and benchmark generators and the fuzzing corpus.
// Every field is written by its own call.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ringlens::testing {

// Little-endian bytes, one field at a time.
class Bytes {
 public:
  Bytes& u32(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
    return *this;
  }
  Bytes& i32(int32_t value) { return u32(static_cast<uint32_t>(value)); }
  Bytes& raw(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
  }
  Bytes& zeros(size_t count) {
    bytes_.append(count, '\0');
    return *this;
  }
  // Overwrites (growing with zeros as needed) at an absolute offset.
  Bytes& put(size_t offset, std::string_view bytes) {
    if (bytes_.size() < offset + bytes.size()) bytes_.resize(offset + bytes.size(), '\0');
    bytes_.replace(offset, bytes.size(), bytes);
    return *this;
  }
  Bytes& putU32(size_t offset, uint32_t value) { return put(offset, Bytes().u32(value).str()); }
  size_t size() const { return bytes_.size(); }
  const std::string& str() const { return bytes_; }

 private:
  std::string bytes_;
};

// A text with its terminating NUL, as the facility stores texts.
inline std::string cstr(std::string_view text) { return std::string(text) + '\0'; }

// Trace data file: the signature, then records.
class FileTraceBuilder {
 public:
  explicit FileTraceBuilder(bool withSignature = true) {
    if (withSignature) bytes_.raw("****FILE_TRACE****");
  }
  // kind, number, textLength, text: the text field exactly as given.
  FileTraceBuilder& record(uint32_t kind, int32_t number, std::string_view textField) {
    return recordWithLength(kind, number, static_cast<uint32_t>(textField.size()), textField);
  }
  // The same with a textLength that need not match the bytes that follow.
  FileTraceBuilder& recordWithLength(uint32_t kind, int32_t number, uint32_t textLength,
                                     std::string_view bytes) {
    bytes_.u32(kind);        // kind
    bytes_.i32(number);      // number
    bytes_.u32(textLength);  // textLength
    bytes_.raw(bytes);       // text
    return *this;
  }
  FileTraceBuilder& entry(int32_t number, std::string_view name) { return record(1, number, cstr(name)); }
  FileTraceBuilder& exit(int32_t number, std::string_view name) { return record(2, number, cstr(name)); }
  FileTraceBuilder& text(int32_t number, std::string_view text) { return record(3, number, cstr(text)); }
  FileTraceBuilder& bareText(int32_t number, std::string_view text) { return record(5, number, cstr(text)); }
  FileTraceBuilder& time(int32_t seconds) {
    bytes_.u32(4);        // kind
    bytes_.i32(seconds);  // time
    return *this;
  }
  FileTraceBuilder& end() {
    bytes_.u32(0);  // kind 0
    return *this;
  }
  FileTraceBuilder& raw(std::string_view bytes) {
    bytes_.raw(bytes);
    return *this;
  }
  std::string str() const { return bytes_.str(); }

 private:
  Bytes bytes_;
};

// "**TRACE_BUFFER_", number byte, 4 unused bytes, textLength, text.
inline std::string traceBufferBlock(char numberByte, std::string_view textField) {
  return Bytes()
      .raw("**TRACE_BUFFER_")
      .raw(std::string(1, numberByte))
      .zeros(4)                                       // not examined
      .u32(static_cast<uint32_t>(textField.size()))  // textLength
      .raw(textField)                                 // text
      .str();
}
inline std::string traceBufferBlockWithLength(char numberByte, uint32_t textLength, std::string_view bytes) {
  return Bytes().raw("**TRACE_BUFFER_").raw(std::string(1, numberByte)).zeros(4).u32(textLength).raw(bytes).str();
}

// The trace-index and trace-method blocks for a set of method names.
class MethodTableBuilder {
 public:
  // Adds a name to the trace-method block and an index entry for it.
  MethodTableBuilder& add(uint32_t methodId, std::string_view name) {
    return entry(methodId, nameOffset(name));
  }
  // Adds a name to the trace-method block only; returns its nameOffset.
  uint32_t nameOffset(std::string_view name) {
    uint32_t offset = static_cast<uint32_t>(24 + names_.size());
    names_ += cstr(name);
    return offset;
  }
  // Adds an index entry with any nameOffset.
  MethodTableBuilder& entry(uint32_t methodId, uint32_t nameOffset) {
    entries_.emplace_back(methodId, nameOffset);
    return *this;
  }
  uint32_t indexLength() const { return static_cast<uint32_t>(24 + 8 * entries_.size()); }
  uint32_t methodLength() const { return static_cast<uint32_t>(24 + names_.size()); }

  std::string indexBlock() const { return indexBlockWithLength(indexLength()); }
  std::string indexBlockWithLength(uint32_t blockLength) const {
    Bytes b;
    b.raw("****TRACE_INDEX*****");  // signature
    b.u32(blockLength);             // blockLength
    for (auto [id, offset] : entries_) {
      b.u32(id);      // methodId
      b.u32(offset);  // nameOffset
    }
    return b.str();
  }
  std::string methodBlock() const { return methodBlockWithLength(methodLength()); }
  std::string methodBlockWithLength(uint32_t blockLength) const {
    return Bytes()
        .raw("****TRACE_METHOD****")  // signature
        .u32(blockLength)             // blockLength
        .raw(names_)                  // names
        .str();
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> entries_;
  std::string names_;
};

// The memory-trace block: a 40-byte header and the ring. Records are laid
// one after another from the ring's start unless placed with at().
class MemoryTraceBuilder {
 public:
  MemoryTraceBuilder(uint32_t selfAddress, uint32_t blockSize)
      : selfAddress_(selfAddress), blockSize_(blockSize), oldest_(40), next_(40) {}

  MemoryTraceBuilder& wrapReserve(uint32_t bytes) {
    wrapReserve_ = bytes;
    return *this;
  }
  // Ring positions given as offsets into the block; the header holds them
  // as addresses (selfAddress + offset).
  MemoryTraceBuilder& oldest(uint32_t offset) {
    oldest_ = offset;
    return *this;
  }
  MemoryTraceBuilder& next(uint32_t offset) {
    next_ = offset;
    return *this;
  }
  // Where the next record is laid.
  MemoryTraceBuilder& at(uint32_t offset) {
    cursor_ = offset;
    return *this;
  }
  uint32_t cursor() const { return cursor_; }

  // length, kind, number, methodId: a 16-byte record.
  MemoryTraceBuilder& method(uint32_t kind, int32_t number, uint32_t methodId) {
    return lay(Bytes().u32(16).u32(kind).i32(number).u32(methodId).str());
  }
  MemoryTraceBuilder& entry(int32_t number, uint32_t methodId) { return method(1, number, methodId); }
  MemoryTraceBuilder& exit(int32_t number, uint32_t methodId) { return method(2, number, methodId); }
  // length, kind, time: a 12-byte record.
  MemoryTraceBuilder& time(int32_t seconds) { return lay(Bytes().u32(12).u32(4).i32(seconds).str()); }
  // length, kind, number, unused methodId, text with its NUL.
  MemoryTraceBuilder& text(uint32_t kind, int32_t number, std::string_view text) {
    std::string field = cstr(text);
    return lay(Bytes().u32(static_cast<uint32_t>(16 + field.size())).u32(kind).i32(number).u32(0).raw(field).str());
  }
  // Any record bytes, laid as given.
  MemoryTraceBuilder& lay(std::string_view record) {
    ring_.put(cursor_, record);
    cursor_ += static_cast<uint32_t>(record.size());
    return *this;
  }

  std::string build() const {
    Bytes b;
    b.raw("****MEMORY_TRACE****");      // signature
    b.u32(selfAddress_);                // selfAddress
    b.u32(blockSize_);                  // blockSize
    b.u32(selfAddress_ + oldest_);      // oldestRecord
    b.u32(selfAddress_ + next_);        // nextRecord
    b.u32(wrapReserve_);                // wrapReserve
    std::string block = b.str();
    const std::string& ring = ring_.str();
    if (ring.size() > block.size()) block += ring.substr(block.size());
    if (block.size() < blockSize_) block.resize(blockSize_, '\0');
    return block;
  }

 private:
  uint32_t selfAddress_, blockSize_, oldest_, next_;
  uint32_t wrapReserve_ = 0;
  uint32_t cursor_ = 40;
  Bytes ring_;  // block bytes; the header part is ignored
};

// A dump: blocks placed at chosen offsets in filler bytes.
class DumpBuilder {
 public:
  // `size` bytes of filler: a repeating pattern free of signature bytes.
  explicit DumpBuilder(size_t size = 0) {
    std::string filler(size, '\0');
    for (size_t i = 0; i < size; ++i) filler[i] = static_cast<char>("dump-filler."[i % 12]);
    bytes_.raw(filler);
  }
  DumpBuilder& place(size_t offset, std::string_view block) {
    bytes_.put(offset, block);
    return *this;
  }
  // Places a block right after everything placed so far; returns its offset.
  size_t append(std::string_view block) {
    size_t offset = bytes_.size();
    bytes_.raw(block);
    return offset;
  }
  std::string str() const { return bytes_.str(); }

 private:
  Bytes bytes_;
};

}  // namespace ringlens::testing
