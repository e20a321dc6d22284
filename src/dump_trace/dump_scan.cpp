#include <cstring>
#include <vector>

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

// Every signature holds "TRACE" near its start; the scan looks for that
// and then compares the signatures it may belong to.
constexpr std::string_view ANCHOR = "TRACE";
constexpr size_t BUFFER_ANCHOR_AT = TRACE_BUFFER_PREFIX.find(ANCHOR);
constexpr size_t INDEX_ANCHOR_AT = TRACE_INDEX_SIGNATURE.find(ANCHOR);
constexpr size_t METHOD_ANCHOR_AT = TRACE_METHOD_SIGNATURE.find(ANCHOR);
constexpr size_t MEMORY_ANCHOR_AT = MEMORY_TRACE_SIGNATURE.find(ANCHOR);
static_assert(BUFFER_ANCHOR_AT == 2 && INDEX_ANCHOR_AT == 4 && METHOD_ANCHOR_AT == 4 &&
              MEMORY_ANCHOR_AT == 11);

// Bytes read at a time; small enough that they are searched while still
// in the processor's cache.
constexpr size_t CHUNK_SIZE = 256 * 1024;
// Bytes carried from one chunk to the next, so that every signature that
// starts in a chunk is compared whole.
constexpr size_t CARRY = SIGNATURE_SIZE - 1;

// How many start positions, from offset 0 on, the window scan examines in
// a file of `total` bytes: WINDOW_SIZE - SIGNATURE_SIZE per fill, and a
// fill for every full read plus the short one that ends the scan.
uint64_t windowStartPositions(uint64_t total) {
  constexpr uint64_t STEP = WINDOW_SIZE - SIGNATURE_SIZE;
  uint64_t fills = total < SIGNATURE_SIZE ? 1 : (total - SIGNATURE_SIZE) / STEP + 1;
  return fills * STEP;
}

bool isAnchor(const uint8_t* at) { return std::memcmp(at, ANCHOR.data(), ANCHOR.size()) == 0; }

// Calls visit(p) for every p, in increasing order, at which data holds the
// anchor.
template <typename Visit>
void forEachAnchor(const uint8_t* data, size_t size, Visit visit) {
  size_t p = 0;
#if defined(__GNUC__) || defined(__clang__)
  // Sixteen positions at a time: a position is a candidate when it holds
  // 'T', the next byte 'R' and the one four on 'E'.
  typedef uint8_t Bytes16 __attribute__((vector_size(16)));
  constexpr size_t BLOCK = 64;
  auto load = [](const uint8_t* at) {
    Bytes16 v;
    std::memcpy(&v, at, sizeof v);
    return v;
  };
  while (size >= BLOCK + 4 && p <= size - BLOCK - 4) {
    const uint8_t* at = data + p;
    auto hits = (load(at) == 'T') & (load(at + 1) == 'R') & (load(at + 4) == 'E');
    hits |= (load(at + 16) == 'T') & (load(at + 17) == 'R') & (load(at + 20) == 'E');
    hits |= (load(at + 32) == 'T') & (load(at + 33) == 'R') & (load(at + 36) == 'E');
    hits |= (load(at + 48) == 'T') & (load(at + 49) == 'R') & (load(at + 52) == 'E');
    uint64_t halves[2];
    std::memcpy(halves, &hits, sizeof halves);
    if ((halves[0] | halves[1]) != 0) {
      for (size_t q = p; q < p + BLOCK; ++q) {
        if (q + ANCHOR.size() <= size && isAnchor(data + q)) visit(q);
      }
    }
    p += BLOCK;
  }
#endif
  for (; p + ANCHOR.size() <= size; ++p) {
    if (isAnchor(data + p)) visit(p);
  }
}

uint32_t bufferNumber(ByteView bytes, uint64_t at) {
  auto digit = bytes.slice(at, 1);
  if (digit.empty()) return 0;  // past the data: the window holds a zero there
  uint8_t c = digit.data()[0];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

}  // namespace

BlockLocations scanDump(ByteSource& file) {
  BlockLocations found;
  std::vector<uint8_t> buffer(CARRY + CHUNK_SIZE);
  uint64_t bufferStart = 0;  // file offset of buffer[0]
  size_t held = 0;
  for (;;) {
    size_t got = file.readAt(bufferStart + held, {buffer.data() + held, CHUNK_SIZE});
    held += got;
    const bool atEnd = got < CHUNK_SIZE;
    // Start positions this buffer decides; the carried bytes' positions are
    // decided with the next buffer, where they are followed by their data.
    const size_t owned = atEnd ? held : held - CARRY;
    // In the file's last bytes, where no 20-byte signature fits, the window
    // scan stops short of the end; a trace-buffer prefix there counts only
    // if it starts at a position the window scan examines.
    const uint64_t examined = atEnd ? windowStartPositions(bufferStart + held) : UINT64_MAX;
    const ByteView bytes(buffer.data(), held);

    auto match = [&](size_t p, size_t anchorAt, std::string_view signature, uint64_t& location) {
      if (p < anchorAt) return false;
      size_t start = p - anchorAt;
      if (start >= owned || !bytes.equals(start, signature) || bufferStart + start >= examined) return false;
      location = bufferStart + start;
      return true;
    };
    forEachAnchor(buffer.data(), held, [&](size_t p) {
      uint64_t at = 0;
      if (match(p, BUFFER_ANCHOR_AT, TRACE_BUFFER_PREFIX, at)) {
        found.traceBuffer[bufferNumber(bytes, at - bufferStart + BUFFER_NUMBER_OFFSET)] = at;
      }
      match(p, INDEX_ANCHOR_AT, TRACE_INDEX_SIGNATURE, found.traceIndex);
      match(p, METHOD_ANCHOR_AT, TRACE_METHOD_SIGNATURE, found.traceMethod);
      match(p, MEMORY_ANCHOR_AT, MEMORY_TRACE_SIGNATURE, found.memoryTrace);
    });

    if (atEnd) break;
    std::memmove(buffer.data(), buffer.data() + held - CARRY, CARRY);
    bufferStart += held - CARRY;
    held = CARRY;
  }
  return found;
}

}  // namespace ringlens
