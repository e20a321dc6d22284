// What ringlens must write for a file, worked out the slow and literal
// way: the window scan of reference_scan.h, then every field read straight
// from the file's bytes with an explicit bound check, a plain linear name
// search and a ring walk that remembers every position it has written.
// The unit tests and the fuzz target hold the program to it.
//
// It follows the program's decisions about damaged input:
// - trace data files: a record whose fixed fields are cut short writes
//   nothing and ends the run; a text cut short gives the bytes the file
//   holds up to the first NUL; the whole textLength field is consumed;
// - dumps: the memory trace is the last occurrence whose selfAddress
//   equals the process address of its first byte, when the file is an ELF
//   core file or a minidump whose headers hold together (read here field
//   by field, the ranges compared pairwise), else the last occurrence;
//   a block copy holds only bytes the file has (a length field not
//   wholly in the file gives an empty copy); a trace buffer whose
//   textLength field is cut short has an empty text; index entries are
//   those wholly inside the copy; a name offset at or past the end of the
//   trace-method copy gives no name, a name with no NUL runs to its end;
// - the ring: no lines when the copy is shorter than the 40-byte header
//   or the first length is not wholly inside it; a record is written only
//   when its fields (12 bytes for kind 4, else 16) lie inside the copy;
//   the walk ends at stop, at a record that fails that, and at a position
//   it has already written.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dump_trace/dump_blocks.h"
#include "output.h"
#include "support/reference_scan.h"

namespace ringlens::testing {

namespace reference {


class LiteralBytes {
 public:
  explicit LiteralBytes(std::string_view bytes) : bytes_(bytes) {}

  std::optional<uint32_t> u32(uint64_t at) const {
    if (at > bytes_.size() || bytes_.size() - at < 4) return std::nullopt;
    uint32_t value = 0;
    for (uint64_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes_[at + i]);
    return value;
  }
  // [at, at + count), clipped to the bytes held.
  std::string_view part(uint64_t at, uint64_t count = UINT64_MAX) const {
    if (at >= bytes_.size()) return {};
    return bytes_.substr(static_cast<size_t>(at), static_cast<size_t>(std::min<uint64_t>(count, bytes_.size() - at)));
  }
  size_t size() const { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

// --- Containers, the literal way ---------------------------------------------

struct LiteralRange {
  uint64_t fileOffset, size, address;
};

class LiteralContainer {
 public:
  explicit LiteralContainer(std::string_view file) : file_(file), bytes_(file) {
    ok_ = elf() || (reset(), minidump());
    if (!ok_) ranges_.clear();
  }

  // The address of a file offset; none outside every range or outside a
  // container.
  std::optional<uint64_t> addressOf(uint64_t offset) const {
    for (const LiteralRange& r : ranges_) {
      if (offset >= r.fileOffset && offset - r.fileOffset < r.size) return r.address + (offset - r.fileOffset);
    }
    return std::nullopt;
  }

 private:
  static constexpr uint64_t MOST = 1u << 20;

  void reset() {
    ranges_.clear();
    spoiled_ = false;
  }
  uint64_t size() const { return file_.size(); }
  bool inside(uint64_t at, uint64_t n) const { return at <= size() && n <= size() - at; }
  std::optional<uint64_t> u16(uint64_t at) const {
    if (!inside(at, 2)) return std::nullopt;
    return uint64_t(uint8_t(file_[at])) | uint64_t(uint8_t(file_[at + 1])) << 8;
  }
  std::optional<uint64_t> u32(uint64_t at) const {
    auto v = bytes_.u32(at);
    return v ? std::optional<uint64_t>(*v) : std::nullopt;
  }
  std::optional<uint64_t> u64(uint64_t at) const {
    auto low = bytes_.u32(at), high = bytes_.u32(at + 4);
    if (!low || !high) return std::nullopt;
    return uint64_t(*low) | uint64_t(*high) << 32;
  }

  void add(uint64_t at, uint64_t n, uint64_t address, uint64_t highest) {
    if (n == 0) return;
    if (!inside(at, n) || address > highest || n - 1 > highest - address || ranges_.size() >= MOST) {
      spoiled_ = true;
      return;
    }
    ranges_.push_back({at, n, address});
  }

  // No two ranges share a byte, in the file or in the process.
  bool disjoint() const {
    for (size_t i = 0; i < ranges_.size(); ++i) {
      for (size_t j = i + 1; j < ranges_.size(); ++j) {
        const LiteralRange &a = ranges_[i], &b = ranges_[j];
        auto overlap = [](uint64_t s1, uint64_t n1, uint64_t s2, uint64_t n2) {
          return s1 < s2 ? s2 - s1 < n1 : s1 - s2 < n2;
        };
        if (overlap(a.fileOffset, a.size, b.fileOffset, b.size) || overlap(a.address, a.size, b.address, b.size)) {
          return false;
        }
      }
    }
    return true;
  }

  bool elf() {
    if (size() < 64 || file_.substr(0, 4) != std::string_view("\x7f" "ELF", 4)) return false;
    const unsigned elfClass = uint8_t(file_[4]);
    if (uint8_t(file_[5]) != 1 || uint8_t(file_[6]) != 1 || (elfClass != 1 && elfClass != 2)) return false;
    const bool wide = elfClass == 2;
    auto word = [&](uint64_t at) { return wide ? u64(at) : u32(at); };
    const uint64_t headerSize = wide ? 64 : 52, phentsize = wide ? 56 : 32, shentsize = wide ? 64 : 40;
    auto type = u16(16), version = u32(20);
    auto phoff = word(wide ? 32 : 28), shoff = word(wide ? 40 : 32);
    auto phent = u16(wide ? 54 : 42), phnum = u16(wide ? 56 : 44), shent = u16(wide ? 58 : 46);
    if (!type || *type != 4 || !version || *version != 1 || !phoff || !shoff || !phent || *phent != phentsize ||
        !phnum || !shent) {
      return false;
    }
    uint64_t count = *phnum;
    if (count == 0xFFFF) {
      if (*shent != shentsize || !inside(*shoff, shentsize)) return false;
      auto info = u32(*shoff + (wide ? 44 : 28));
      if (!info) return false;
      count = *info;
    }
    if (count > MOST || !inside(*phoff, count * phentsize) || *phoff < headerSize) return false;
    for (uint64_t i = 0; i < count && !spoiled_; ++i) {
      uint64_t ph = *phoff + i * phentsize;
      uint64_t pType = *u32(ph);
      uint64_t offset = *word(ph + (wide ? 8 : 4)), vaddr = *word(ph + (wide ? 16 : 8));
      uint64_t filesz = *word(ph + (wide ? 32 : 16)), memsz = *word(ph + (wide ? 40 : 20));
      if (pType != 1) continue;
      if (filesz > memsz) {
        spoiled_ = true;
        break;
      }
      add(offset, filesz, vaddr, wide ? UINT64_MAX : UINT32_MAX);
    }
    return !spoiled_ && disjoint();
  }

  bool minidump() {
    if (size() < 32 || file_.substr(0, 4) != "MDMP") return false;
    uint64_t version = *u32(4), streams = *u32(8), directory = *u32(12);
    if ((version & 0xFFFF) != 0xA793 || streams > MOST || directory < 32 || !inside(directory, streams * 12)) {
      return false;
    }
    struct Stream {
      uint64_t type, size, rva;
    };
    std::vector<Stream> memory;
    for (uint64_t i = 0; i < streams; ++i) {
      uint64_t e = directory + 12 * i;
      uint64_t type = *u32(e), n = *u32(e + 4), rva = *u32(e + 8);
      if (type != 5 && type != 9) continue;
      if (!inside(rva, n) || rva < 32) return false;
      memory.push_back({type, n, rva});
    }
    for (const Stream& m : memory) {
      if (spoiled_) break;
      if (m.type == 5) {
        auto count = u32(m.rva);
        if (!count || *count > MOST) return false;
        uint64_t table = *count * 16, first = m.rva + 4;
        if (m.size == 8 + table) {
          first = m.rva + 8;
        } else if (m.size < 4 + table) {
          return false;
        }
        for (uint64_t i = 0; i < *count && !spoiled_; ++i) {
          uint64_t d = first + 16 * i;
          add(*u32(d + 12), *u32(d + 8), *u64(d), UINT64_MAX);
        }
      } else {
        auto count = u64(m.rva), base = u64(m.rva + 8);
        if (!count || !base || *count > MOST || m.size < 16 + *count * 16) return false;
        uint64_t at = *base;
        for (uint64_t i = 0; i < *count && !spoiled_; ++i) {
          uint64_t d = m.rva + 16 + 16 * i;
          uint64_t start = *u64(d), n = *u64(d + 8);
          if (!inside(at, n)) return false;
          add(at, n, start, UINT64_MAX);
          at += n;
        }
      }
    }
    return !spoiled_ && disjoint();
  }

  std::string_view file_;
  LiteralBytes bytes_;
  std::vector<LiteralRange> ranges_;
  bool spoiled_ = false;
  bool ok_ = false;
};

// The memory-trace occurrence a dump is formatted from: the last one whose
// selfAddress equals the address of its first byte, else the last one.
inline uint64_t chosenMemoryTrace(std::string_view file, const std::vector<uint64_t>& occurrences, uint64_t last) {
  LiteralContainer container(file);
  LiteralBytes bytes(file);
  std::optional<uint64_t> live;
  for (uint64_t at : occurrences) {
    auto address = container.addressOf(at);
    auto self = bytes.u32(at + 20);
    if (address && self && uint64_t(*self) == *address) live = at;
  }
  return live ? *live : last;
}

inline std::string_view upToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

class ReferenceFormatter {
 public:
  ReferenceFormatter(std::string_view file, OutputSink& sink) : file_(file), whole_(file), sink_(sink) {}

  int run() {
    if (file_.substr(0, 18) == "****FILE_TRACE****") return fileTrace();
    return dump();
  }

 private:
  void timeLine(int32_t time) {
    char text[24];
    formatTimeText(time, text);
    out_(std::string("----*") + std::string(text, 24) + "*----\n");
  }

  void eventLine(bool hasNumber, int32_t number, char mark, std::string_view text) {
    std::string line = hasNumber ? std::to_string(number) + " " : std::string();
    line += mark;
    out_(line);
    out_(text);
    out_("\n");
  }

  int fileTrace() {
    uint64_t at = 18;
    for (;;) {
      auto kind = whole_.u32(at);
      if (!kind || *kind == 0) break;
      at += 4;
      if (*kind == 4) {
        auto time = whole_.u32(at);
        if (!time) break;
        at += 4;
        timeLine(static_cast<int32_t>(*time));
        continue;
      }
      auto number = whole_.u32(at);
      auto textLength = whole_.u32(at + 4);
      if (!number || !textLength) break;
      at += 8;
      std::string_view text = upToNul(whole_.part(at, *textLength));
      at += *textLength;
      eventLine(*kind != 5, static_cast<int32_t>(*number), *kind == 1 ? '>' : *kind == 2 ? '<' : ' ', text);
    }
    return 0;
  }

  std::string_view copyOf(uint64_t offset, uint64_t lengthFieldAt) const {
    auto length = whole_.u32(offset + lengthFieldAt);
    if (!length) return {};
    return whole_.part(offset, *length);
  }

  int dump() {
    std::vector<uint64_t> memoryTraces;
    BlockLocations found = referenceScan(file_, &memoryTraces);
    found.memoryTrace = chosenMemoryTrace(file_, memoryTraces, found.memoryTrace);
    for (size_t number = 4; number < 12; ++number) {
      uint64_t at = found.traceBuffer[number];
      if (at == 0) continue;
      out_("**TRACE_BUFFER_" + std::to_string(number) + ": ");
      if (auto textLength = whole_.u32(at + 20)) out_(upToNul(whole_.part(at + 24, *textLength)));
    }
    if (found.memoryTrace == 0) {
      err_(std::string_view("Unable to find trace signature in file.\n"));
      return 101;
    }
    std::string_view ring = copyOf(found.memoryTrace, 24);
    if (found.traceIndex == 0) {
      err_(std::string_view("Unable to find trace index signature in file.\n"));
      return 102;
    }
    index_ = copyOf(found.traceIndex, 20);
    if (found.traceMethod == 0) {
      err_(std::string_view("Unable to find trace method signature in file.\n"));
      return 103;
    }
    method_ = copyOf(found.traceMethod, 20);
    walk(ring);
    return 0;
  }

  std::optional<std::string_view> lookup(uint32_t methodId) const {
    LiteralBytes index(index_);
    uint64_t count = index_.size() < 24 ? 0 : (index_.size() - 24) / 8;
    for (uint64_t entry = 0; entry < count; ++entry) {
      if (*index.u32(24 + 8 * entry) != methodId) continue;
      uint32_t nameOffset = *index.u32(24 + 8 * entry + 4);
      if (nameOffset >= method_.size()) return std::nullopt;
      return upToNul(method_.substr(nameOffset));
    }
    return std::nullopt;
  }

  void walk(std::string_view ringBytes) {
    LiteralBytes ring(ringBytes);
    if (ring.size() < 40) return;
    uint32_t self = *ring.u32(20), blockSize = *ring.u32(24);
    uint32_t wrapReserve = *ring.u32(36);
    uint32_t position = *ring.u32(28) - self;
    uint32_t stop = *ring.u32(32) - self;
    auto firstLength = ring.u32(position);
    if (!firstLength || *firstLength == 0) return;
    std::vector<bool> written(ring.size());
    for (;;) {
      if (position >= ring.size() || written[position]) return;
      auto length = ring.u32(position);
      auto kind = ring.u32(uint64_t(position) + 4);
      if (!length || !kind) return;
      uint64_t needed = *kind == 4 ? 12 : 16;
      if (ring.size() - position < needed) return;
      written[position] = true;
      int32_t number = static_cast<int32_t>(*ring.u32(uint64_t(position) + 8));
      if (*kind == 4) {
        timeLine(number);
      } else if (*kind == 3 || *kind == 5) {
        eventLine(*kind == 3, number, ' ', upToNul(ring.part(uint64_t(position) + 16)));
      } else {
        auto name = lookup(*ring.u32(uint64_t(position) + 12));
        bool entry = *kind == 1;
        eventLine(true, number, entry ? '>' : '<',
                  name ? *name : entry ? "Entry Name Unknown" : "Exit Name Unknown");
      }
      position += *length;
      if (uint32_t(position + wrapReserve) >= blockSize) position = 40;
      if (position == stop) return;
    }
  }

  std::string_view file_;
  LiteralBytes whole_;
  void out_(std::string_view bytes) { sink_.writeOut(bytes); }
  void err_(std::string_view bytes) { sink_.writeErr(bytes); }

  OutputSink& sink_;
  std::string_view index_, method_;
};

}  // namespace reference

// Writes what the program must write for `file` to `sink` and returns the
// run status it must end with.
inline int referenceFormat(std::string_view file, OutputSink& sink) {
  return reference::ReferenceFormatter(file, sink).run();
}

// The file offset of the memory-trace block a dump is formatted from; 0
// when there is none.
inline uint64_t referenceMemoryTrace(std::string_view file) {
  std::vector<uint64_t> memoryTraces;
  const BlockLocations found = referenceScan(file, &memoryTraces);
  return reference::chosenMemoryTrace(file, memoryTraces, found.memoryTrace);
}

}  // namespace ringlens::testing
