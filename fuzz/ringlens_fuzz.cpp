// libFuzzer target: runs the program's formatter on arbitrary bytes and
// holds it to a literal model of what it must write.
//
// Input: one selector byte, then the file. An odd selector puts the
// file-trace signature in front, so the bytes are a trace data file's
// records; an even one gives the bytes as they are, which makes them a
// dump (unless they start with the signature themselves). Bits 1 and 2 of
// an even selector may wrap the dump in a container that maps its bytes
// to process addresses (see wrapInContainer): a 64-bit ELF core file (1),
// a 32-bit one (2) or a minidump (3; bit 3 picks its 64-bit memory list).
//
// For every input the target
// - formats the file with formatInput, as the program does, into a sink
//   that keeps only a hash and the length of each stream, so that no
//   output size can exhaust memory;
// - works the output out again with the literal model in
//   reference_format.h and aborts unless the status and both streams are
//   the same and nothing went to standard output after standard error;
// - formats the same bytes again read as a pipe delivers them (front to
//   back, in pieces whose size bits 4 and 5 of the selector choose) and
//   aborts unless the status and both streams are the same as from the
//   file, containers included;
// - for a dump, scans it with every kernel the processor has and aborts,
//   naming the kernel, unless each scan's last-wins fold equals the
//   literal window scan, its live-block choice (BlockChoice over the
//   container's address map) is the model's, its occurrences come in
//   increasing order, each before the byte it starts at is handed on, and
//   every byte of the file is handed on once, in order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "input_file.h"
#include "output.h"
#include "reference_format.h"
#include "ringlens.h"
#include "run.h"
#include "support/container_builder.h"

namespace {

using namespace ringlens;

// Larger inputs are not run at all.
constexpr size_t LARGEST_INPUT = 4 * 1024 * 1024;
// Above this the literal model, whose scan compares every position with
// every signature, is left out so that no run takes long.
constexpr size_t LARGEST_CHECKED_INPUT = 1024 * 1024;

// A hash and a length of a stream of bytes that do not depend on how the
// stream is cut into writes.
class StreamHash {
 public:
  void add(std::string_view bytes) {
    length_ += bytes.size();
    const char* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0 && filled_ != 0) takeByte(*p++), --n;
    while (n >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      mix(word);
      p += 8;
      n -= 8;
    }
    while (n > 0) takeByte(*p++), --n;
  }
  uint64_t hash() const { return (state_ ^ pending_ ^ filled_) * 0x9E3779B97F4A7C15ull; }
  uint64_t length() const { return length_; }
  bool operator==(const StreamHash& other) const { return hash() == other.hash() && length_ == other.length_; }

 private:
  void takeByte(char c) {
    pending_ |= uint64_t(static_cast<uint8_t>(c)) << (8 * filled_);
    if (++filled_ == 8) {
      mix(pending_);
      pending_ = 0;
      filled_ = 0;
    }
  }
  void mix(uint64_t word) {
    state_ = (state_ ^ word) * 0x100000001B3ull;
    state_ ^= state_ >> 29;
  }
  uint64_t state_ = 0xCBF29CE484222325ull;
  uint64_t pending_ = 0;
  unsigned filled_ = 0;
  uint64_t length_ = 0;
};

class HashSink : public OutputSink {
 public:
  bool writeOut(std::string_view bytes) override {
    if (errWritten) outAfterErr = true;
    out.add(bytes);
    return true;
  }
  bool writeErr(std::string_view bytes) override {
    errWritten = true;
    err.add(bytes);
    return true;
  }
  StreamHash out, err;
  bool errWritten = false;
  bool outAfterErr = false;
};

// How many inputs of each shape were run, and how many dumps each kernel
// scanned, written when the process ends.
struct ShapeCounts {
  uint64_t traceFiles = 0, dumps = 0, elfCores = 0, minidumps = 0, liveBeforeLast = 0;
  uint64_t scans[8] = {};
  ~ShapeCounts() {
    std::fprintf(stderr, "ringlens_fuzz: ran %llu trace data files and %llu dumps (%llu ELF cores, %llu minidumps)\n",
                 static_cast<unsigned long long>(traceFiles), static_cast<unsigned long long>(dumps),
                 static_cast<unsigned long long>(elfCores), static_cast<unsigned long long>(minidumps));
    std::fprintf(stderr, "ringlens_fuzz: %llu dumps formatted from a live memory-trace block before the last\n",
                 static_cast<unsigned long long>(liveBeforeLast));
    size_t k = 0;
    for (ScanKernel kernel : scanKernels()) {
      std::fprintf(stderr, "ringlens_fuzz: kernel %s scanned %llu dumps\n", std::string(scanKernelName(kernel)).c_str(),
                   static_cast<unsigned long long>(scans[k++]));
    }
  }
} shapeCounts;

// Holds the scan to its reporting rules while folding its occurrences.
// The live-block choice is made from the same reports.
class CheckingObserver final : public ScanObserver {
 public:
  explicit CheckingObserver(const AddressMap& map) : choice(map) {}
  void occurrence(const SignatureOccurrence& found) override {
    if (found.offset < handed || (any && found.offset < last)) ordered = false;
    any = true;
    last = found.offset;
    fold.occurrence(found);
    choice.occurrence(found);
  }
  void bytes(uint64_t offset, std::string_view data) override {
    if (offset != handed) contiguous = false;
    handed = offset + data.size();
    choice.bytes(offset, data);
  }
  BlockLocationsFold fold;
  BlockChoice choice;
  uint64_t handed = 0, last = 0;
  bool any = false, ordered = true, contiguous = true;
};

// The bytes as a stream: front to back, in pieces of `piece` bytes.
class PieceStream : public StreamSource {
 public:
  PieceStream(ByteView bytes, size_t piece) : bytes_(bytes), piece_(piece) {}

 protected:
  size_t readSome(std::span<uint8_t> dst) override {
    ByteView part = bytes_.slice(at_, std::min(dst.size(), piece_));
    if (!part.empty()) std::memcpy(dst.data(), part.data(), part.size());
    at_ += part.size();
    return part.size();
  }

 private:
  ByteView bytes_;
  size_t piece_;
  size_t at_ = 0;
};

// The dump wrapped in a container. The bytes begin with a count byte (1
// to 4 ranges, from its low two bits) and, for each range, its address (8
// bytes) and length (2 bytes); the rest is the ranges' bytes, one after
// another, the last range taking whatever is left.
std::string wrapInContainer(unsigned shape, bool wide, std::string_view bytes) {
  auto take = [&](size_t n) {
    uint64_t value = 0;
    for (size_t i = 0; i < n && i < bytes.size(); ++i) value |= uint64_t(uint8_t(bytes[i])) << (8 * i);
    bytes.remove_prefix(std::min(n, bytes.size()));
    return value;
  };
  const size_t count = (take(1) & 3) + 1;
  std::vector<std::pair<uint64_t, size_t>> ranges;
  for (size_t i = 0; i < count; ++i) {
    uint64_t address = take(8);
    ranges.emplace_back(address, static_cast<size_t>(take(2)));
  }
  ringlens::testing::ElfCoreBuilder elf(shape == 1);
  ringlens::testing::MinidumpBuilder minidump;
  for (size_t i = 0; i < count; ++i) {
    size_t n = i + 1 == count ? bytes.size() : std::min(ranges[i].second, bytes.size());
    std::string part(bytes.substr(0, n));
    bytes.remove_prefix(n);
    if (shape == 3) {
      wide ? minidump.memory64(ranges[i].first, part) : minidump.memory(ranges[i].first, part);
    } else {
      elf.segment(ranges[i].first, part);
    }
  }
  return shape == 3 ? minidump.build() : elf.build();
}

[[noreturn]] void fail(const char* what, std::string_view file) {
  std::fprintf(stderr, "ringlens_fuzz: %s (file of %zu bytes)\n", what, file.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > LARGEST_INPUT) return -1;
  const bool withSignature = (data[0] & 1) != 0;
  const unsigned shape = withSignature ? 0 : (data[0] >> 1) & 3;
  std::string wrapped;
  if (shape != 0) {
    wrapped = wrapInContainer(shape, (data[0] & 8) != 0,
                              std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  }
  const size_t prefix = withSignature ? FILE_TRACE_SIGNATURE.size() : 0;
  const size_t fileSize = shape != 0 ? wrapped.size() : prefix + size - 1;
  if (fileSize > LARGEST_INPUT) return -1;
  // A heap block of exactly the file's size, so that a read past its end
  // is caught.
  std::unique_ptr<uint8_t[]> file(new uint8_t[fileSize == 0 ? 1 : fileSize]);
  if (shape != 0) {
    std::memcpy(file.get(), wrapped.data(), wrapped.size());
  } else {
    std::memcpy(file.get(), FILE_TRACE_SIGNATURE.data(), prefix);
    if (size > 1) std::memcpy(file.get() + prefix, data + 1, size - 1);
  }
  const ByteView bytes(file.get(), fileSize);
  const std::string_view fileText = bytes.chars();

  const bool isTraceFile = bytes.equals(0, FILE_TRACE_SIGNATURE);
  ++(isTraceFile ? shapeCounts.traceFiles : shapeCounts.dumps);

  HashSink program;
  int status;
  {
    MemorySource source(bytes);
    TraceOutput out(program);
    status = formatInput(source, out);
    out.flush();
  }
  if (program.outAfterErr) fail("standard output written after standard error", fileText);

  HashSink streamed;
  int streamedStatus;
  {
    static constexpr size_t PIECES[] = {1, 7, 4096, 65536};
    PieceStream stream(bytes, PIECES[(data[0] >> 4) & 3]);
    TraceOutput out(streamed);
    streamedStatus = formatInput(stream, out);
    out.flush();
  }
  if (streamedStatus != status) fail("run status from a stream differs from the file's", fileText);
  if (!(streamed.out == program.out)) fail("standard output from a stream differs from the file's", fileText);
  if (!(streamed.err == program.err)) fail("standard error from a stream differs from the file's", fileText);

  if (fileSize > LARGEST_CHECKED_INPUT) return 0;

  HashSink expected;
  int expectedStatus = fuzzing::referenceFormat(fileText, expected);
  if (status != expectedStatus) fail("run status differs from the model", fileText);
  if (!(program.out == expected.out)) fail("standard output differs from the model", fileText);
  if (!(program.err == expected.err)) fail("standard error differs from the model", fileText);

  if (!isTraceFile) {
    MemorySource mapSource(bytes);
    const AddressMap map = readAddressMap(mapSource);
    if (map.kind() == DumpKind::ELF_CORE) ++shapeCounts.elfCores;
    if (map.kind() == DumpKind::MINIDUMP) ++shapeCounts.minidumps;
    const BlockLocations expectedLocations = fuzzing::referenceBlockLocations(fileText);
    const uint64_t expectedMemoryTrace = fuzzing::referenceMemoryTrace(fileText);
    if (expectedMemoryTrace != expectedLocations.memoryTrace) ++shapeCounts.liveBeforeLast;
    size_t k = 0;
    for (ScanKernel kernel : scanKernels()) {
      ++k;
      if (!scanKernelAvailable(kernel)) continue;
      ++shapeCounts.scans[k - 1];
      MemorySource source(bytes);
      CheckingObserver observer(map);
      scanDump(source, observer, kernel);
      std::string name(scanKernelName(kernel));
      if (!(observer.fold.locations == expectedLocations)) fail(("scan differs from the window scan, kernel " + name).c_str(), fileText);
      if (observer.choice.locations().memoryTrace != expectedMemoryTrace) fail(("live-block choice differs from the model, kernel " + name).c_str(), fileText);
      if (!observer.ordered) fail(("scan occurrences out of order, kernel " + name).c_str(), fileText);
      if (!observer.contiguous || observer.handed != fileSize) fail(("scan bytes not handed on once each, kernel " + name).c_str(), fileText);
    }
  }
  return 0;
}
