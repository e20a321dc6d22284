#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

// The AVX2 and AVX-512 searches are built where the compiler can target
// them; which one runs is decided by the processor at run time.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define RINGLENS_X86_KERNELS 1
#include <immintrin.h>
#endif

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
constexpr size_t SMALLEST_CHUNK = 4096;
constexpr size_t READ_ALIGNMENT = 4096;
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

// The search for anchor candidates: the first position p at or after
// `from` at which the bytes hold 'T' and, four on, 'E'; or, when there is
// none, the first position at which no anchor fits (size - 4). Candidates
// are rare in real dumps, so nearly all the time goes into the vector
// loops below.
using CandidateSearch = size_t (*)(ByteView bytes, size_t from);

constexpr size_t E_DISTANCE = 4;  // 'E' of "TRACE", counted from its 'T'

// Positions p < candidateEnd(bytes) have the byte p + E_DISTANCE inside.
size_t candidateEnd(ByteView bytes) { return bytes.size() < ANCHOR.size() ? 0 : bytes.size() - E_DISTANCE; }

size_t nextCandidatePortable(ByteView bytes, size_t from) {
  const uint8_t* data = bytes.data();
  const size_t to = candidateEnd(bytes);
  for (size_t p = from; p < to; ++p) {
    if (data[p] == 'T' && data[p + E_DISTANCE] == 'E') return p;
  }
  return to;
}

#if defined(__GNUC__) || defined(__clang__)
// Sixteen positions at a time with the compiler's vector types, which every
// target of GCC and Clang has.
size_t nextCandidateVector(ByteView bytes, size_t from) {
  typedef uint8_t Bytes16 __attribute__((vector_size(16)));
  auto load = [](const uint8_t* at) {
    Bytes16 v;
    std::memcpy(&v, at, sizeof v);
    return v;
  };
  auto any = [](auto hits) {
    uint64_t halves[2];
    std::memcpy(halves, &hits, sizeof halves);
    return (halves[0] | halves[1]) != 0;
  };
  const size_t to = candidateEnd(bytes);
  size_t p = from;
  for (; p < to && to - p >= 64; p += 64) {
    const uint8_t* at = bytes.data() + p;  // with its 64 + E_DISTANCE bytes inside
    auto hits = (load(at) == 'T') & (load(at + E_DISTANCE) == 'E');
    hits |= (load(at + 16) == 'T') & (load(at + 16 + E_DISTANCE) == 'E');
    hits |= (load(at + 32) == 'T') & (load(at + 32 + E_DISTANCE) == 'E');
    hits |= (load(at + 48) == 'T') & (load(at + 48 + E_DISTANCE) == 'E');
    if (any(hits)) break;
  }
  return nextCandidatePortable(bytes, p);
}
#endif

#ifdef RINGLENS_X86_KERNELS
// Thirty-two positions at a time, on processors that have AVX2; the
// program is built for processors without it too.
__attribute__((target("avx2"))) inline __m256i candidates32(const uint8_t* at) {
  __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  __m256i fifth = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + E_DISTANCE));
  return _mm256_and_si256(_mm256_cmpeq_epi8(first, _mm256_set1_epi8('T')),
                          _mm256_cmpeq_epi8(fifth, _mm256_set1_epi8('E')));
}

__attribute__((target("avx2"))) size_t nextCandidateAvx2(ByteView bytes, size_t from) {
  const size_t to = candidateEnd(bytes);
  size_t p = from;
  for (; p < to && to - p >= 128; p += 128) {
    const uint8_t* at = bytes.data() + p;  // with its 128 + E_DISTANCE bytes inside
    __m256i a = candidates32(at), b = candidates32(at + 32), c = candidates32(at + 64), d = candidates32(at + 96);
    __m256i all = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    if (!_mm256_testz_si256(all, all)) {
      uint64_t low = uint32_t(_mm256_movemask_epi8(a)) | uint64_t(uint32_t(_mm256_movemask_epi8(b))) << 32;
      if (low != 0) return p + static_cast<size_t>(__builtin_ctzll(low));
      uint64_t high = uint32_t(_mm256_movemask_epi8(c)) | uint64_t(uint32_t(_mm256_movemask_epi8(d))) << 32;
      return p + 64 + static_cast<size_t>(__builtin_ctzll(high));
    }
  }
  return nextCandidatePortable(bytes, p);
}

// Sixty-four positions at a time, on processors that have AVX-512BW.
__attribute__((target("avx512f,avx512bw"))) inline uint64_t candidates64(const uint8_t* at) {
  __mmask64 first = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at), _mm512_set1_epi8('T'));
  return _mm512_mask_cmpeq_epi8_mask(first, _mm512_loadu_si512(at + E_DISTANCE), _mm512_set1_epi8('E'));
}

__attribute__((target("avx512f,avx512bw"))) size_t nextCandidateAvx512(ByteView bytes, size_t from) {
  const size_t to = candidateEnd(bytes);
  size_t p = from;
  for (; p < to && to - p >= 128; p += 128) {
    const uint8_t* at = bytes.data() + p;  // with its 128 + E_DISTANCE bytes inside
    uint64_t a = candidates64(at), b = candidates64(at + 64);
    if ((a | b) != 0) {
      return a != 0 ? p + static_cast<size_t>(__builtin_ctzll(a)) : p + 64 + static_cast<size_t>(__builtin_ctzll(b));
    }
  }
  return nextCandidatePortable(bytes, p);
}
#endif

CandidateSearch candidateSearchFor(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::PORTABLE:
      return nextCandidatePortable;
    case ScanKernel::VECTOR:
#if defined(__GNUC__) || defined(__clang__)
      return nextCandidateVector;
#else
      return nullptr;
#endif
    case ScanKernel::AVX2:
#ifdef RINGLENS_X86_KERNELS
      __builtin_cpu_init();
      if (__builtin_cpu_supports("avx2")) return nextCandidateAvx2;
#endif
      return nullptr;
    case ScanKernel::AVX512:
#ifdef RINGLENS_X86_KERNELS
      __builtin_cpu_init();
      if (__builtin_cpu_supports("avx512bw")) return nextCandidateAvx512;
#endif
      return nullptr;
    case ScanKernel::FASTEST:
      break;
  }
  for (ScanKernel fastestFirst : {ScanKernel::AVX512, ScanKernel::AVX2, ScanKernel::VECTOR}) {
    if (CandidateSearch search = candidateSearchFor(fastestFirst)) return search;
  }
  return nextCandidatePortable;
}

// Calls visit(p) for every p, in increasing order, at which the bytes hold
// the anchor.
template <typename Visit>
void forEachAnchor(ByteView bytes, CandidateSearch nextCandidate, Visit visit) {
  const size_t to = candidateEnd(bytes);
  for (size_t p = nextCandidate(bytes, 0); p < to; p = nextCandidate(bytes, p + 1)) {
    if (bytes.equals(p, ANCHOR)) visit(p);
  }
}

uint32_t bufferNumber(ByteView bytes, uint64_t at) {
  auto digit = bytes.slice(at, 1);
  if (digit.empty()) return 0;  // past the data: the window holds a zero there
  uint8_t c = digit.data()[0];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

}  // namespace

bool scanKernelAvailable(ScanKernel kernel) { return candidateSearchFor(kernel) != nullptr; }

BlockLocations scanDump(ByteSource& file, ScanKernel kernel) {
  static const CandidateSearch fastest = candidateSearchFor(ScanKernel::FASTEST);
  const CandidateSearch nextCandidate = kernel == ScanKernel::FASTEST ? fastest : candidateSearchFor(kernel);
  BlockLocations found;
  if (!nextCandidate) return found;
  // A small file is read whole in one piece of its own size (and a byte
  // more, to meet its end) rather than into a full chunk.
  const size_t chunk =
      static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(file.size(), CHUNK_SIZE - 1) + 1, SMALLEST_CHUNK));
  // Reads go to `target`, aligned to a page, with room for the carried
  // bytes right before it: the system copies from its file cache markedly
  // faster to an aligned address.
  std::vector<uint8_t> storage(CARRY + READ_ALIGNMENT + chunk);
  const size_t pastCarry = (reinterpret_cast<uintptr_t>(storage.data()) + CARRY) % READ_ALIGNMENT;
  uint8_t* const target = storage.data() + CARRY + (READ_ALIGNMENT - pastCarry) % READ_ALIGNMENT;
  uint8_t* window = target;  // the bytes from file offset bufferStart on
  uint64_t bufferStart = 0;
  size_t held = 0;  // bytes in the window; window + held is target when reading
  for (;;) {
    size_t got = file.readAt(bufferStart + held, {target, chunk});
    held += got;
    const bool atEnd = got < chunk;
    // Start positions this buffer decides; the carried bytes' positions are
    // decided with the next buffer, where they are followed by their data.
    const size_t owned = atEnd ? held : held - CARRY;
    // In the file's last bytes, where no 20-byte signature fits, the window
    // scan stops short of the end; a trace-buffer prefix there counts only
    // if it starts at a position the window scan examines.
    const uint64_t examined = atEnd ? windowStartPositions(bufferStart + held) : UINT64_MAX;
    const ByteView bytes(window, held);

    auto match = [&](size_t p, size_t anchorAt, std::string_view signature, uint64_t& location) {
      if (p < anchorAt) return false;
      size_t start = p - anchorAt;
      if (start >= owned || !bytes.equals(start, signature) || bufferStart + start >= examined) return false;
      location = bufferStart + start;
      return true;
    };
    forEachAnchor(bytes, nextCandidate, [&](size_t p) {
      uint64_t at = 0;
      if (match(p, BUFFER_ANCHOR_AT, TRACE_BUFFER_PREFIX, at)) {
        found.traceBuffer[bufferNumber(bytes, at - bufferStart + BUFFER_NUMBER_OFFSET)] = at;
      }
      match(p, INDEX_ANCHOR_AT, TRACE_INDEX_SIGNATURE, found.traceIndex);
      match(p, METHOD_ANCHOR_AT, TRACE_METHOD_SIGNATURE, found.traceMethod);
      match(p, MEMORY_ANCHOR_AT, MEMORY_TRACE_SIGNATURE, found.memoryTrace);
    });

    if (atEnd) break;
    std::memmove(target - CARRY, window + held - CARRY, CARRY);
    window = target - CARRY;
    bufferStart += held - CARRY;
    held = CARRY;
  }
  return found;
}

}  // namespace ringlens
