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
// - dumps: a block copy holds only bytes the file has (a length field not
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
    BlockLocations found = referenceScan(file_);
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

}  // namespace ringlens::testing
