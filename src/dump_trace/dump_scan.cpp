#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// The AVX2 and AVX-512 searches are built where the compiler can target
// them; which one runs is decided by the processor at run time.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define RINGLENS_X86_KERNELS 1
#include <immintrin.h>
#endif

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

// Every signature holds "TRACE" near its start, and right behind it '_'
// (the two tables and the buffer prefix) or '*' (the memory trace). The
// scan looks for candidates of that shape and then compares the one
// signature a candidate can belong to.
constexpr std::string_view ANCHOR = "TRACE";
constexpr size_t BUFFER_ANCHOR_AT = TRACE_BUFFER_PREFIX.find(ANCHOR);
constexpr size_t INDEX_ANCHOR_AT = TRACE_INDEX_SIGNATURE.find(ANCHOR);
constexpr size_t METHOD_ANCHOR_AT = TRACE_METHOD_SIGNATURE.find(ANCHOR);
constexpr size_t MEMORY_ANCHOR_AT = MEMORY_TRACE_SIGNATURE.find(ANCHOR);
static_assert(BUFFER_ANCHOR_AT == 2 && INDEX_ANCHOR_AT == 4 && METHOD_ANCHOR_AT == 4 &&
              MEMORY_ANCHOR_AT == 11);
static_assert(TRACE_BUFFER_PREFIX[7] == '_' && TRACE_INDEX_SIGNATURE[9] == '_' &&
              TRACE_METHOD_SIGNATURE[9] == '_' && MEMORY_TRACE_SIGNATURE[16] == '*');

// A candidate at p: 'T' at p, 'R' at p + 1, 'E' at p + 4, and '_' or '*'
// at p + 5. No two candidates of one signature can overlap, so at most one
// signature matches at a candidate, and candidates in increasing order
// give occurrences in increasing order.
constexpr size_t CANDIDATE_SPAN = 6;  // bytes a candidate's test reads

// Bytes read at a time; small enough that they are searched while still
// in the processor's cache.
constexpr size_t CHUNK_SIZE = 256 * 1024;
constexpr size_t SMALLEST_CHUNK = 4096;
constexpr size_t READ_ALIGNMENT = 4096;
// Bytes carried from one chunk to the next, so that every signature that
// starts in a chunk is compared whole. A whole cache line, so that the
// search starts on a line's first byte.
constexpr size_t CARRY = 64;
static_assert(CARRY >= SIGNATURE_SIZE - 1 + CANDIDATE_SPAN);

// How many start positions, from offset 0 on, the window scan examines in
// a file of `total` bytes: WINDOW_SIZE - SIGNATURE_SIZE per fill, and a
// fill for every full read plus the short one that ends the scan.
uint64_t windowStartPositions(uint64_t total) {
  constexpr uint64_t STEP = WINDOW_SIZE - SIGNATURE_SIZE;
  uint64_t fills = total < SIGNATURE_SIZE ? 1 : (total - SIGNATURE_SIZE) / STEP + 1;
  return fills * STEP;
}

// ---------------------------------------------------------------------------
// Kernels. Each gives, for 64 positions from `at` (with the 64 + 5 bytes
// from `at` readable), a mask with bit i set when position at + i is a
// candidate. One loop, below, runs them all.

constexpr size_t BLOCK = 64;

inline bool isCandidate(const uint8_t* at) {
  return at[0] == 'T' && at[1] == 'R' && at[4] == 'E' && (at[5] == '_' || at[5] == '*');
}

struct PortableMask {
  static uint64_t at(const uint8_t* at) {
    uint64_t mask = 0;
    for (size_t i = 0; i < BLOCK; ++i) mask |= uint64_t(isCandidate(at + i)) << i;
    return mask;
  }
};

#if defined(__GNUC__) || defined(__clang__)
// Sixteen positions at a time with the compiler's vector types, which every
// target of GCC and Clang has.
struct VectorMask {
  typedef uint8_t Bytes16 __attribute__((vector_size(16)));
  static Bytes16 load(const uint8_t* at) {
    Bytes16 v;
    std::memcpy(&v, at, sizeof v);
    return v;
  }
  static uint64_t at(const uint8_t* at) {
    Bytes16 any = {};
    Bytes16 hits[4];
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t* p = at + 16 * k;
      Bytes16 after = load(p + 5);
      hits[k] = (load(p) == 'T') & (load(p + 1) == 'R') & (load(p + 4) == 'E') & ((after == '_') | (after == '*'));
      any |= hits[k];
    }
    uint64_t halves[2];
    std::memcpy(halves, &any, sizeof halves);
    if ((halves[0] | halves[1]) == 0) return 0;
    uint64_t mask = 0;
    for (size_t k = 0; k < 4; ++k) {
      for (size_t i = 0; i < 16; ++i) mask |= uint64_t(hits[k][i] & 1) << (16 * k + i);
    }
    return mask;
  }
};
#endif

#ifdef RINGLENS_X86_KERNELS
// Thirty-two positions at a time, on processors that have AVX2; the
// program is built for processors without it too.
struct Avx2Mask {
  __attribute__((target("avx2"))) static uint32_t half(const uint8_t* at) {
#define RINGLENS_LOAD256(p) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
    __m256i after = RINGLENS_LOAD256(at + 5);
    __m256i hits = _mm256_and_si256(_mm256_cmpeq_epi8(RINGLENS_LOAD256(at), _mm256_set1_epi8('T')),
                                    _mm256_cmpeq_epi8(RINGLENS_LOAD256(at + 1), _mm256_set1_epi8('R')));
    hits = _mm256_and_si256(hits, _mm256_cmpeq_epi8(RINGLENS_LOAD256(at + 4), _mm256_set1_epi8('E')));
#undef RINGLENS_LOAD256
    hits = _mm256_and_si256(hits, _mm256_or_si256(_mm256_cmpeq_epi8(after, _mm256_set1_epi8('_')),
                                                  _mm256_cmpeq_epi8(after, _mm256_set1_epi8('*'))));
    return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
  }
  __attribute__((target("avx2"))) static uint64_t at(const uint8_t* at) {
    return half(at) | uint64_t(half(at + 32)) << 32;
  }
};

// Sixty-four positions at a time, on processors that have AVX-512BW.
struct Avx512Mask {
  __attribute__((target("avx512f,avx512bw"))) static uint64_t at(const uint8_t* at) {
    __m512i after = _mm512_loadu_si512(at + 5);
    __mmask64 hits = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at), _mm512_set1_epi8('T'));
    hits = _mm512_mask_cmpeq_epi8_mask(hits, _mm512_loadu_si512(at + 1), _mm512_set1_epi8('R'));
    hits = _mm512_mask_cmpeq_epi8_mask(hits, _mm512_loadu_si512(at + 4), _mm512_set1_epi8('E'));
    __mmask64 ends = _mm512_cmpeq_epi8_mask(after, _mm512_set1_epi8('_')) |
                     _mm512_cmpeq_epi8_mask(after, _mm512_set1_epi8('*'));
    return hits & ends;
  }
};
#endif

// Candidates found so far in a chunk, handed on in batches.
struct CandidateBatch {
  static constexpr size_t FULL = 256;
  // A batch that is not yet full takes a whole block and then the last
  // positions of the bytes.
  std::array<uint32_t, FULL + BLOCK + BLOCK + CANDIDATE_SPAN> at;
  size_t count = 0;
};

// Puts the candidates among positions [from, end of the bytes) into the
// batch, in increasing order, until the batch is full; returns the
// position to go on from (the end of the bytes when all were examined).
using FindCandidates = size_t (*)(ByteView bytes, size_t from, CandidateBatch& batch);

// The one search loop: a block of 64 positions at a time through the
// kernel, every candidate bit of its mask visited, then the last positions
// one by one.
template <typename Mask>
size_t findCandidates(ByteView bytes, size_t from, CandidateBatch& batch) {
  const uint8_t* const data = bytes.data();
  const size_t size = bytes.size();
  batch.count = 0;
  size_t p = from;
  for (; size >= BLOCK + CANDIDATE_SPAN - 1 && p <= size - (BLOCK + CANDIDATE_SPAN - 1); p += BLOCK) {
    for (uint64_t mask = Mask::at(data + p); mask != 0; mask &= mask - 1) {
      batch.at[batch.count++] = static_cast<uint32_t>(p + static_cast<size_t>(__builtin_ctzll(mask)));
    }
    if (batch.count >= CandidateBatch::FULL) return p + BLOCK;
  }
  for (; size >= CANDIDATE_SPAN && p <= size - CANDIDATE_SPAN; ++p) {
    if (isCandidate(data + p)) batch.at[batch.count++] = static_cast<uint32_t>(p);
  }
  return size;
}

#ifdef RINGLENS_X86_KERNELS
bool hasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
bool hasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif
bool always() { return true; }

struct KernelEntry {
  ScanKernel kernel;
  std::string_view name;
  bool (*supported)();
  FindCandidates find;
};

// The kernels this build has, fastest first.
constexpr KernelEntry KERNELS[] = {
#ifdef RINGLENS_X86_KERNELS
    {ScanKernel::AVX512, "avx512", hasAvx512, findCandidates<Avx512Mask>},
    {ScanKernel::AVX2, "avx2", hasAvx2, findCandidates<Avx2Mask>},
#endif
#if defined(__GNUC__) || defined(__clang__)
    {ScanKernel::VECTOR, "vector", always, findCandidates<VectorMask>},
#endif
    {ScanKernel::PORTABLE, "portable", always, findCandidates<PortableMask>},
};

constexpr ScanKernel NAMED_KERNELS[] = {ScanKernel::AVX512, ScanKernel::AVX2, ScanKernel::VECTOR,
                                        ScanKernel::PORTABLE};

const KernelEntry* entryFor(ScanKernel kernel) {
  for (const KernelEntry& entry : KERNELS) {
    if (entry.kernel == kernel) return &entry;
  }
  return nullptr;
}

const KernelEntry& chooseFastest() {
  for (const KernelEntry& entry : KERNELS) {
    if (entry.supported()) return entry;
  }
  return KERNELS[std::size(KERNELS) - 1];
}

// Chosen once, when the program starts.
const KernelEntry& FASTEST_KERNEL = chooseFastest();

const KernelEntry* usableEntry(ScanKernel kernel) {
  if (kernel == ScanKernel::FASTEST) return &FASTEST_KERNEL;
  const KernelEntry* entry = entryFor(kernel);
  return entry && entry->supported() ? entry : nullptr;
}

// Storage for the chunks: page-aligned reads with the carried bytes right
// before them. The system copies from its file cache markedly faster to
// an aligned address.
class ChunkStorage {
 public:
  explicit ChunkStorage(size_t chunk) {
    storage_.reset(new (std::nothrow) uint8_t[CARRY + READ_ALIGNMENT + chunk]);
    if (storage_) {
      chunk_ = chunk;
      target_ = alignedAfterCarry(storage_.get(), READ_ALIGNMENT);
    } else {
      // No storage to be had: a small chunk on the stack.
      chunk_ = sizeof fallback_ - CARRY - BLOCK;
      target_ = alignedAfterCarry(fallback_, BLOCK);
    }
  }
  uint8_t* target() const { return target_; }
  size_t chunk() const { return chunk_; }

 private:
  static uint8_t* alignedAfterCarry(uint8_t* base, size_t alignment) {
    const size_t past = (reinterpret_cast<uintptr_t>(base) + CARRY) % alignment;
    return base + CARRY + (alignment - past) % alignment;
  }
  std::unique_ptr<uint8_t[]> storage_;
  uint8_t fallback_[SMALLEST_CHUNK + CARRY + BLOCK];
  uint8_t* target_ = nullptr;
  size_t chunk_ = 0;
};

}  // namespace

std::span<const ScanKernel> scanKernels() { return NAMED_KERNELS; }

bool scanKernelAvailable(ScanKernel kernel) { return usableEntry(kernel) != nullptr; }

std::string_view scanKernelName(ScanKernel kernel) {
  if (kernel == ScanKernel::FASTEST) return "fastest";
  switch (kernel) {
    case ScanKernel::AVX512: return "avx512";
    case ScanKernel::AVX2: return "avx2";
    case ScanKernel::VECTOR: return "vector";
    default: return "portable";
  }
}

ScanKernel fastestScanKernel() { return FASTEST_KERNEL.kernel; }

void BlockLocationsFold::occurrence(const SignatureOccurrence& found) {
  switch (found.signature) {
    case Signature::MEMORY_TRACE: locations.memoryTrace = found.offset; break;
    case Signature::TRACE_INDEX: locations.traceIndex = found.offset; break;
    case Signature::TRACE_METHOD: locations.traceMethod = found.offset; break;
    case Signature::TRACE_BUFFER:
      if (found.bufferNumber < TRACE_BUFFER_COUNT) locations.traceBuffer[found.bufferNumber] = found.offset;
      break;
  }
}

BlockLocations scanDump(ByteSource& file, ScanKernel kernel) {
  BlockLocationsFold fold;
  scanDump(file, fold, kernel);
  return fold.locations;
}

void scanDump(ByteSource& file, ScanObserver& observer, ScanKernel kernel) {
  const KernelEntry* entry = usableEntry(kernel);
  if (!entry) return;
  const FindCandidates find = entry->find;
  // A small file is read whole in one piece of its own size (and a byte
  // more, to meet its end) rather than into a full chunk. A stream has no
  // size to go by: it is read in full chunks, which it fills directly.
  const uint64_t sizeHint = file.sequentialOnly() ? CHUNK_SIZE : file.size();
  ChunkStorage storage(
      static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(sizeHint, CHUNK_SIZE - 1) + 1, SMALLEST_CHUNK)));
  uint8_t* const target = storage.target();
  const size_t chunk = storage.chunk();
  uint8_t* window = target;  // the bytes from file offset bufferStart on
  uint64_t bufferStart = 0;
  size_t held = 0;  // bytes in the window; window + held is target when reading
  CandidateBatch batch;
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

    // The window's first bytes were carried: their candidates' starts, if
    // any, lie before it and were decided with the last buffer.
    for (size_t from = 0; from < held;) {
      from = find(bytes, from, batch);
      for (size_t k = 0; k < batch.count; ++k) {
        const size_t p = batch.at[k];
        SignatureOccurrence found;
        std::string_view signature;
        size_t anchorAt;
        if (bytes.u8(p + 5) == '*') {
          found.signature = Signature::MEMORY_TRACE, signature = MEMORY_TRACE_SIGNATURE, anchorAt = MEMORY_ANCHOR_AT;
        } else {
          switch (bytes.u8(p + 6).value_or(0)) {
            case 'B':
              found.signature = Signature::TRACE_BUFFER, signature = TRACE_BUFFER_PREFIX, anchorAt = BUFFER_ANCHOR_AT;
              break;
            case 'I':
              found.signature = Signature::TRACE_INDEX, signature = TRACE_INDEX_SIGNATURE, anchorAt = INDEX_ANCHOR_AT;
              break;
            case 'M':
              found.signature = Signature::TRACE_METHOD, signature = TRACE_METHOD_SIGNATURE,
              anchorAt = METHOD_ANCHOR_AT;
              break;
            default:
              continue;
          }
        }
        if (p < anchorAt) continue;
        const size_t start = p - anchorAt;
        if (start >= owned || !bytes.equals(start, signature) || bufferStart + start >= examined) continue;
        found.offset = bufferStart + start;
        if (found.signature == Signature::TRACE_BUFFER) {
          found.bufferNumber = bufferNumberOf(bytes.u8(start + BUFFER_NUMBER_OFFSET).value_or(0));
        }
        observer.occurrence(found);
      }
    }
    // The bytes whose start positions were decided now, each once.
    if (owned > 0) observer.bytes(bufferStart, bytes.slice(0, owned).chars());

    if (atEnd) break;
    std::memmove(target - CARRY, window + held - CARRY, CARRY);
    window = target - CARRY;
    bufferStart += held - CARRY;
    held = CARRY;
  }
}

}  // namespace ringlens
