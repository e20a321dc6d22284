// Readable builders for the dump containers that carry addresses: ELF
// core files and Windows minidumps. Each maps ranges of process memory,
// given as bytes and the address of their first byte, into a file whose
// headers say where each range lay. Every field is written by its own
// call; damaged containers are made by overriding one field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/trace_builder.h"

namespace ringlens::testing {

// Little-endian 16- and 64-bit fields beside Bytes' 32-bit ones.
inline Bytes& u16(Bytes& b, uint16_t value) { return b.raw(std::string{char(value & 0xFF), char(value >> 8)}); }
inline Bytes& u64(Bytes& b, uint64_t value) { return b.u32(uint32_t(value)).u32(uint32_t(value >> 32)); }

// An ELF core file: the ELF header, the program headers (a PT_NOTE, then
// a PT_LOAD per segment), then the segments' bytes one after another.
class ElfCoreBuilder {
 public:
  explicit ElfCoreBuilder(bool wide = true) : wide_(wide) {}

  // A PT_LOAD of these bytes at this address.
  ElfCoreBuilder& segment(uint64_t address, std::string bytes) {
    segments_.push_back({address, std::move(bytes)});
    return *this;
  }
  // Damage: the header's e_type, e_phnum, or one segment's p_filesz or
  // p_vaddr instead of the true ones.
  ElfCoreBuilder& type(uint16_t value) {
    type_ = value;
    return *this;
  }
  ElfCoreBuilder& programHeaderCount(uint16_t value) {
    phnum_ = value;
    return *this;
  }
  ElfCoreBuilder& fileSize(size_t segment, uint64_t value) {
    fileSizes_.emplace_back(segment, value);
    return *this;
  }
  ElfCoreBuilder& address(size_t segment, uint64_t value) {
    segments_[segment].address = value;
    return *this;
  }

  size_t headerSize() const { return wide_ ? 64 : 52; }
  size_t programHeaderSize() const { return wide_ ? 56 : 32; }
  // Where the bytes of a segment lie in the file.
  size_t segmentOffset(size_t segment) const {
    size_t at = headerSize() + programHeaderSize() * (segments_.size() + 1) + NOTE.size();
    for (size_t i = 0; i < segment; ++i) at += segments_[i].bytes.size();
    return at;
  }

  std::string build() const {
    const uint16_t count = phnum_.value_or(static_cast<uint16_t>(segments_.size() + 1));
    Bytes b;
    b.raw("\x7f" "ELF");                 // magic
    b.raw(std::string(1, wide_ ? 2 : 1)); // EI_CLASS: ELFCLASS64 or ELFCLASS32
    b.raw("\x01");                       // EI_DATA: little-endian
    b.raw("\x01");                       // EI_VERSION
    b.zeros(9);                          // EI_OSABI, EI_ABIVERSION, padding
    u16(b, type_);                       // e_type: ET_CORE
    u16(b, wide_ ? 62 : 3);              // e_machine: x86-64 or i386
    b.u32(1);                            // e_version
    word(b, 0);                          // e_entry
    word(b, headerSize());               // e_phoff: right after this header
    word(b, 0);                          // e_shoff: no section headers
    b.u32(0);                            // e_flags
    u16(b, static_cast<uint16_t>(headerSize()));         // e_ehsize
    u16(b, static_cast<uint16_t>(programHeaderSize()));  // e_phentsize
    u16(b, count);                       // e_phnum
    u16(b, wide_ ? 64 : 40);             // e_shentsize
    u16(b, 0);                           // e_shnum
    u16(b, 0);                           // e_shstrndx

    const size_t noteOffset = headerSize() + programHeaderSize() * (segments_.size() + 1);
    programHeader(b, 4, noteOffset, 0, NOTE.size(), NOTE.size(), 0);  // PT_NOTE
    for (size_t i = 0; i < segments_.size(); ++i) {
      uint64_t size = segments_[i].bytes.size(), fileSize = size;
      for (auto [segment, value] : fileSizes_) {
        if (segment == i) fileSize = value;
      }
      programHeader(b, 1, segmentOffset(i), segments_[i].address, fileSize, std::max(size, fileSize), 6);  // PT_LOAD
    }
    b.raw(NOTE);
    for (const Segment& s : segments_) b.raw(s.bytes);
    return b.str();
  }

 private:
  // A note the builder does not fill in: namesz, descsz, type, "CORE".
  static inline const std::string NOTE = Bytes().u32(5).u32(0).u32(1).raw(std::string("CORE\0\0\0\0", 8)).str();

  struct Segment {
    uint64_t address;
    std::string bytes;
  };

  void word(Bytes& b, uint64_t value) const {
    if (wide_) {
      u64(b, value);
    } else {
      b.u32(static_cast<uint32_t>(value));
    }
  }

  void programHeader(Bytes& b, uint32_t type, uint64_t offset, uint64_t address, uint64_t fileSize, uint64_t memorySize,
                     uint32_t flags) const {
    if (wide_) {
      b.u32(type);          // p_type
      b.u32(flags);         // p_flags
      u64(b, offset);       // p_offset
      u64(b, address);      // p_vaddr
      u64(b, 0);            // p_paddr
      u64(b, fileSize);     // p_filesz
      u64(b, memorySize);   // p_memsz
      u64(b, 4096);         // p_align
    } else {
      b.u32(type);                                 // p_type
      b.u32(static_cast<uint32_t>(offset));        // p_offset
      b.u32(static_cast<uint32_t>(address));       // p_vaddr
      b.u32(0);                                    // p_paddr
      b.u32(static_cast<uint32_t>(fileSize));      // p_filesz
      b.u32(static_cast<uint32_t>(memorySize));    // p_memsz
      b.u32(flags);                                // p_flags
      b.u32(4096);                                 // p_align
    }
  }

  bool wide_;
  uint16_t type_ = 4;
  std::optional<uint16_t> phnum_;
  std::vector<Segment> segments_;
  std::vector<std::pair<size_t, uint64_t>> fileSizes_;
};

// A minidump: the header, the stream directory, then the streams: a
// thread list (empty), the memory list of the ranges given with memory()
// and the 64-bit memory list of those given with memory64(); then the
// ranges' bytes, each list's one after another.
class MinidumpBuilder {
 public:
  // A range of the memory list (stream 5).
  MinidumpBuilder& memory(uint64_t address, std::string bytes) {
    list_.push_back({address, std::move(bytes)});
    return *this;
  }
  // A range of the 64-bit memory list (stream 9), as full-memory dumps
  // have them.
  MinidumpBuilder& memory64(uint64_t address, std::string bytes) {
    list64_.push_back({address, std::move(bytes)});
    return *this;
  }
  // Damage: the version, the number of streams, a list's count, or one
  // range's DataSize instead of the true ones.
  MinidumpBuilder& version(uint32_t value) {
    version_ = value;
    return *this;
  }
  MinidumpBuilder& streamCount(uint32_t value) {
    streams_ = value;
    return *this;
  }
  MinidumpBuilder& listCount(uint32_t value) {
    listCount_ = value;
    return *this;
  }
  MinidumpBuilder& list64Count(uint64_t value) {
    list64Count_ = value;
    return *this;
  }
  MinidumpBuilder& list64DataSize(size_t range, uint64_t value) {
    list64Sizes_.emplace_back(range, value);
    return *this;
  }

  std::string build() const {
    constexpr uint32_t HEADER = 32, ENTRY = 12, STREAMS = 3;
    const uint32_t directory = HEADER;
    const uint32_t threads = directory + STREAMS * ENTRY;
    const uint32_t threadsSize = 4;
    const uint32_t list = threads + threadsSize;
    const uint32_t listSize = static_cast<uint32_t>(4 + 16 * list_.size());
    const uint32_t list64 = list + listSize;
    const uint32_t list64Size = static_cast<uint32_t>(16 + 16 * list64_.size());
    uint64_t data = list64 + list64Size;

    Bytes b;
    b.raw("MDMP");                            // Signature
    b.u32(version_);                          // Version: 0xA793, implementation version above
    b.u32(streams_.value_or(STREAMS));        // NumberOfStreams
    b.u32(directory);                         // StreamDirectoryRva
    b.u32(0);                                 // CheckSum
    b.u32(0x65000000);                        // TimeDateStamp
    u64(b, 2);                                // Flags: MiniDumpWithFullMemory
    // Directory: StreamType, DataSize, Rva.
    b.u32(3).u32(threadsSize).u32(threads);   // ThreadListStream
    b.u32(5).u32(listSize).u32(list);         // MemoryListStream
    b.u32(9).u32(list64Size).u32(list64);     // Memory64ListStream
    b.u32(0);                                 // thread list: NumberOfThreads
    // Memory list: NumberOfMemoryRanges, then StartOfMemoryRange,
    // DataSize, Rva of each.
    b.u32(listCount_.value_or(static_cast<uint32_t>(list_.size())));
    for (const Range& r : list_) {
      u64(b, r.address);
      b.u32(static_cast<uint32_t>(r.bytes.size()));
      b.u32(static_cast<uint32_t>(data));
      data += r.bytes.size();
    }
    // 64-bit memory list: NumberOfMemoryRanges, BaseRva, then
    // StartOfMemoryRange and DataSize of each.
    u64(b, list64Count_.value_or(list64_.size()));
    u64(b, data);
    for (size_t i = 0; i < list64_.size(); ++i) {
      uint64_t size = list64_[i].bytes.size();
      for (auto [range, value] : list64Sizes_) {
        if (range == i) size = value;
      }
      u64(b, list64_[i].address);
      u64(b, size);
    }
    for (const Range& r : list_) b.raw(r.bytes);
    for (const Range& r : list64_) b.raw(r.bytes);
    return b.str();
  }

 private:
  struct Range {
    uint64_t address;
    std::string bytes;
  };
  uint32_t version_ = 0x0000A793;
  std::optional<uint32_t> streams_, listCount_;
  std::optional<uint64_t> list64Count_;
  std::vector<Range> list_, list64_;
  std::vector<std::pair<size_t, uint64_t>> list64Sizes_;
};

}  // namespace ringlens::testing
