// Writing an extract: a new file made of ranges of the input placed at
// given offsets, zero everywhere else. The file is written under a
// temporary name beside its final name and put in place only once it is
// complete, so a failure leaves no half-written file behind; an existing
// file is replaced only when asked to; the input is only ever read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump_trace/dump_container.h"
#include "input_file.h"
#include "trace_records.h"
#include "tool/progress.h"

namespace ringlens::tool {

// `length` bytes of the input from offset `from` go to offset `to` of the
// extract.
struct ExtractPiece {
  uint64_t from = 0;
  uint64_t length = 0;
  uint64_t to = 0;
  bool operator==(const ExtractPiece&) const = default;
};

// The extract's size and the pieces copied into it; bytes no piece covers
// are zero. A dump's blocks kept at their own offsets in a file of the
// dump's size leave every offset, and so every scan result, unchanged; the
// zero bytes between them are left as holes where the file system has
// them, so the extract takes the room of its blocks only.
struct ExtractPlan {
  std::vector<ExtractPiece> pieces;
  uint64_t size = 0;
  std::string lead;  // bytes of the extract's own at offset 0 (a container's headers)
};

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The plan that keeps these ranges of an input of `inputSize` bytes at
// their own offsets: ranges clipped to the input, sorted, and overlapping
// or touching ones joined.
ExtractPlan planKeepingRanges(std::vector<ByteRange> ranges, uint64_t inputSize);

// The plan that keeps these ranges of a dump of `inputSize` bytes in a
// small file that a dump scan reads alike: the ranges (clipped, sorted,
// joined as above) in their original order, each behind at least one zero
// byte, so that no signature can form across two of them and none starts
// at offset 0. A range that reaches into the dump's last SCAN_TAIL bytes,
// where whether a trace-buffer prefix is found depends on the file's
// length, is laid out with the ranges near it as in the dump, at an offset
// that differs from its own by a multiple of SCAN_STEP and with as many
// bytes behind it as in the dump; otherwise SCAN_TAIL zero bytes end the
// file, so every kept byte lies where the scan examines it.
inline constexpr uint64_t SCAN_STEP = 4076;  // WINDOW_SIZE - SIGNATURE_SIZE
inline constexpr uint64_t SCAN_TAIL = 20;    // SIGNATURE_SIZE
// `lead` is where the first range may go at the earliest: SCAN_TAIL zero
// bytes, or a container's headers and a zero byte.
ExtractPlan planCompactExtract(std::vector<ByteRange> ranges, uint64_t inputSize, uint64_t lead = SCAN_TAIL);

// The compact plan for a dump inside a container (an ELF core file or a
// minidump, as `map` says): the same layout, but the place of the
// SCAN_TAIL zero bytes taken by the headers of a minimal 64-bit
// little-endian ELF core file (ET_CORE) with one PT_LOAD for each part of
// a kept range that `map` maps, at its original process address, the
// ranges split where the map's ranges begin and end. A kept part the map
// does not map stays in the file with no PT_LOAD, unmapped as before. So
// every memory-trace occurrence kept lies at the same process address as
// in the dump and is live exactly when it was; for that the 4 bytes of
// selfAddress behind an occurrence at the very end of a kept range are
// kept as well (read from `input`). A minidump's extract is such an ELF
// core file too. A RAW map gives planCompactExtract's plan.
ExtractPlan planContainerExtract(std::vector<ByteRange> ranges, ByteSource& input, const AddressMap& map);

// The plan for a trace data file whose reader ended as `end` says: the
// signature and every record the reader read, up to and including a
// record of kind 0 or one cut short by the end of the file.
ExtractPlan planFileTraceExtract(const FileTraceSummary& end, uint64_t inputSize);

// Where the input lies, to refuse replacing the input with its extract.
struct FileIdentity {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
};

struct ExtractResult {
  bool written = false;
  // When not written: a message naming the file and the reason.
  std::string problem;
};

// Writes the plan to `outPath`. Without `replace`, an existing file (or
// anything else) at `outPath` is left alone and the extract fails.
ExtractResult writeExtract(ByteSource& input, const ExtractPlan& plan, const std::string& outPath, bool replace,
                           const FileIdentity& inputIdentity, ProgressBar* progress = nullptr);

}  // namespace ringlens::tool
