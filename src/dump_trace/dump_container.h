// The process dumps that carry the addresses of their bytes: ELF core
// files and Windows minidumps. Their own headers say, for each range of
// the file, at which address of the dumped process it lay; with that the
// live memory-trace block is told from stale copies of it.
//
// ELF core file: "\x7f" "ELF", 32- or 64-bit, little-endian, e_type
//   ET_CORE (4); its program headers lie inside the file, and each
//   PT_LOAD maps p_offset .. p_offset + p_filesz to p_vaddr.
// Minidump: "MDMP", version 0xA793 in the low half of the version field;
//   the memory list stream (5) maps ranges of the file to addresses one by
//   one, the 64-bit memory list stream (9) maps consecutive ranges from
//   one base offset.
//
// Every count and offset in those headers is checked before it is used: a
// header that does not hold together (fields outside the file, ranges
// reaching past its end or overlapping, more ranges than any real dump
// has) makes the file a plain memory image, "not a container".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "dump_trace/dump_blocks.h"
#include "dump_trace/dump_trace.h"
#include "input_file.h"
#include "trace_records.h"

namespace ringlens {

enum class DumpKind { RAW, ELF_CORE, MINIDUMP };

// "raw", "elf-core" or "minidump".
std::string_view dumpKindName(DumpKind kind);

// A range of the file and the process address of its first byte.
struct MappedRange {
  uint64_t fileOffset = 0;
  uint64_t size = 0;  // never 0
  uint64_t address = 0;

  bool operator==(const MappedRange&) const = default;
};

// File offsets to process addresses. A raw image maps nothing.
class AddressMap {
 public:
  // The most ranges a container may map; a header that counts more is
  // taken for damage.
  static constexpr uint64_t MOST_RANGES = 1u << 20;

  AddressMap() = default;
  AddressMap(DumpKind kind, std::vector<MappedRange> ranges);

  DumpKind kind() const { return kind_; }
  // Sorted by file offset; neither their file ranges nor their address
  // ranges overlap.
  const std::vector<MappedRange>& ranges() const { return ranges_; }

  // The process address of the byte at `fileOffset`; none when no range
  // holds it.
  std::optional<uint64_t> addressOf(uint64_t fileOffset) const;

 private:
  DumpKind kind_ = DumpKind::RAW;
  std::vector<MappedRange> ranges_;
};

// Reads the container's headers, if the file is one of the two kinds and
// they hold together; otherwise a RAW map. Never reads more than the
// headers and the range tables.
AddressMap readAddressMap(ByteSource& file);

// Folds the occurrences and bytes of a dump scan into the block locations.
// Every signature keeps its last occurrence, except the memory trace
// inside a container: there the last *live* occurrence is used, the one
// whose selfAddress (the 4 bytes right behind the signature) equals the
// process address of its own first byte. Copies of the signature that the
// process held elsewhere (string constants, stack and register spills,
// released blocks) are never live. When no occurrence is live, or the
// file is no container, the last one is used.
//
// Works from the bytes the scan hands on, so it costs no read of its own.
// It keeps the occurrences whose selfAddress bytes are still to come: the
// scan reports the occurrences of a piece of the file before it hands the
// piece on, so these are at most the occurrences of one such piece.
class BlockChoice : public ScanObserver {
 public:
  explicit BlockChoice(const AddressMap& map) : map_(map) {}

  void occurrence(const SignatureOccurrence& found) override;
  void bytes(uint64_t offset, std::string_view data) override;

  // The locations, with the memory trace chosen as above.
  BlockLocations locations() const;

  // Memory-trace occurrences: the last one, and the last live one.
  uint64_t lastMemoryTrace() const { return lastWins_.locations.memoryTrace; }
  std::optional<uint64_t> lastLiveMemoryTrace() const { return lastLive_; }

 private:
  // An occurrence inside a mapped range whose selfAddress is being
  // gathered.
  struct Pending {
    uint64_t offset = 0;   // of the signature
    uint64_t address = 0;  // process address of its first byte
    uint32_t value = 0;    // selfAddress bytes gathered so far
    unsigned have = 0;     // how many of its 4 bytes
  };

  const AddressMap& map_;
  BlockLocationsFold lastWins_;  // every signature's last occurrence
  std::optional<uint64_t> lastLive_;
  std::vector<Pending> pending_;  // in increasing order of offset
  size_t firstPending_ = 0;       // entries before it are decided
};

}  // namespace ringlens
