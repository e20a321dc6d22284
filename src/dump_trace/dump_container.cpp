#include "dump_trace/dump_container.h"

#include <algorithm>
#include <new>

namespace ringlens {

namespace {

// Little-endian fields wider and narrower than the bounded reader's.
std::optional<uint16_t> u16At(ByteView bytes, uint64_t offset) {
  ByteView field = bytes.slice(offset, 2);
  if (field.size() < 2) return std::nullopt;
  return static_cast<uint16_t>(field.data()[0] | field.data()[1] << 8);
}

std::optional<uint64_t> u64At(ByteView bytes, uint64_t offset) {
  auto low = bytes.u32(offset);
  auto high = bytes.u32(offset + 4);
  if (!low || !high) return std::nullopt;
  return uint64_t(*low) | uint64_t(*high) << 32;
}

// A fixed-size header read from the file; empty when the file is shorter.
template <size_t N>
struct HeaderBytes {
  uint8_t data[N];
  bool whole = false;
  HeaderBytes(ByteSource& file, uint64_t offset) { whole = file.readAt(offset, {data, N}) == N; }
  ByteView view() const { return whole ? ByteView(data, N) : ByteView(); }
};

// True when [offset, offset + length) lies inside a file of `size` bytes.
bool insideFile(uint64_t size, uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; }

// The ranges found so far, and whether the headers still hold together.
class RangeList {
 public:
  // Adds a range; a range that reaches past the file's end or past the
  // end of the address space, or one too many, spoils the list.
  void add(uint64_t fileSize, uint64_t fileOffset, uint64_t size, uint64_t address, uint64_t addressEnd) {
    if (!ok_ || size == 0) return;
    if (!insideFile(fileSize, fileOffset, size) || address > addressEnd || size - 1 > addressEnd - address ||
        ranges_.size() >= AddressMap::MOST_RANGES) {
      ok_ = false;
      return;
    }
    ranges_.push_back({fileOffset, size, address});
  }
  void spoil() { ok_ = false; }
  bool ok() const { return ok_; }

  // The map of a container whose ranges overlap neither in the file nor in
  // the process; a RAW one otherwise.
  AddressMap finish(DumpKind kind) {
    if (!ok_) return {};
    auto noOverlap = [&](auto start) {
      std::sort(ranges_.begin(), ranges_.end(), [&](const MappedRange& a, const MappedRange& b) {
        return start(a) < start(b);
      });
      for (size_t i = 1; i < ranges_.size(); ++i) {
        // start(prev) + size(prev) cannot overflow: each range was checked
        // to end inside the file and inside the address space.
        if (start(ranges_[i]) - start(ranges_[i - 1]) < ranges_[i - 1].size) return false;
      }
      return true;
    };
    if (!noOverlap([](const MappedRange& r) { return r.address; })) return {};
    if (!noOverlap([](const MappedRange& r) { return r.fileOffset; })) return {};
    return AddressMap(kind, std::move(ranges_));
  }

 private:
  std::vector<MappedRange> ranges_;
  bool ok_ = true;
};

// Calls visit(entry) for each of `count` entries of `entrySize` bytes from
// `offset` on, which the caller has checked lie inside the file.
template <typename Visit>
void forEachEntry(ByteSource& file, uint64_t offset, uint64_t count, size_t entrySize, Visit visit) {
  SequentialReader reader(file, offset);
  for (uint64_t i = 0; i < count; ++i) {
    ByteView entry = reader.peek(entrySize);
    if (entry.size() < entrySize) return;  // the file shrank under us
    visit(entry);
    reader.consume(entrySize);
  }
}

// --- ELF core files --------------------------------------------------------

constexpr uint8_t ELFCLASS32 = 1, ELFCLASS64 = 2, ELFDATA2LSB = 1, EV_CURRENT = 1;
constexpr uint16_t ET_CORE = 4;
constexpr uint16_t PN_XNUM = 0xFFFF;  // the count lies in section header 0
constexpr uint32_t PT_LOAD = 1;

// Where the fields of the two classes lie.
struct ElfLayout {
  size_t headerSize;
  uint64_t phoffAt, shoffAt, phentsizeAt, phnumAt, shentsizeAt;
  uint16_t phentsize, shentsize;
  uint64_t shInfoAt;  // sh_info in a section header
  // Program header fields.
  uint64_t offsetAt, vaddrAt, fileszAt, memszAt;
  bool wide;             // 64-bit fields
  uint64_t addressEnd;   // the highest address
};

constexpr ElfLayout ELF32 = {52, 28, 32, 42, 44, 46, 32, 40, 28, 4, 8, 16, 20, false, UINT32_MAX};
constexpr ElfLayout ELF64 = {64, 32, 40, 54, 56, 58, 56, 64, 44, 8, 16, 32, 40, true, UINT64_MAX};

AddressMap readElfCore(ByteSource& file) {
  const uint64_t fileSize = file.size();
  HeaderBytes<64> header(file, 0);
  ByteView h = header.view();
  if (!h.equals(0, "\x7f" "ELF")) return {};
  const uint8_t elfClass = h.data()[4], data = h.data()[5], identVersion = h.data()[6];
  if (data != ELFDATA2LSB || identVersion != EV_CURRENT || (elfClass != ELFCLASS32 && elfClass != ELFCLASS64)) {
    return {};
  }
  const ElfLayout& l = elfClass == ELFCLASS64 ? ELF64 : ELF32;
  auto word = [&](ByteView bytes, uint64_t at) -> std::optional<uint64_t> {
    if (l.wide) return u64At(bytes, at);
    auto v = bytes.u32(at);
    return v ? std::optional<uint64_t>(*v) : std::nullopt;
  };
  auto type = u16At(h, 16);
  auto version = h.u32(20);
  auto phoff = word(h, l.phoffAt);
  auto shoff = word(h, l.shoffAt);
  auto phentsize = u16At(h, l.phentsizeAt);
  auto phnum = u16At(h, l.phnumAt);
  auto shentsize = u16At(h, l.shentsizeAt);
  if (!type || *type != ET_CORE || !version || *version != EV_CURRENT || !phoff || !shoff || !phentsize ||
      *phentsize != l.phentsize || !phnum || !shentsize) {
    return {};
  }
  uint64_t count = *phnum;
  if (count == PN_XNUM) {
    if (*shentsize != l.shentsize || !insideFile(fileSize, *shoff, l.shentsize)) return {};
    HeaderBytes<4> field(file, *shoff + l.shInfoAt);  // sh_info of section header 0
    auto info = field.view().u32(0);
    if (!info) return {};
    count = *info;
  }
  if (count > AddressMap::MOST_RANGES || !insideFile(fileSize, *phoff, count * l.phentsize) ||
      *phoff < l.headerSize) {
    return {};
  }
  RangeList ranges;
  forEachEntry(file, *phoff, count, l.phentsize, [&](ByteView ph) {
    auto pType = ph.u32(0);
    auto offset = word(ph, l.offsetAt), vaddr = word(ph, l.vaddrAt);
    auto filesz = word(ph, l.fileszAt), memsz = word(ph, l.memszAt);
    if (!pType || !offset || !vaddr || !filesz || !memsz) return ranges.spoil();
    if (*pType != PT_LOAD) return;
    if (*filesz > *memsz) return ranges.spoil();
    ranges.add(fileSize, *offset, *filesz, *vaddr, l.addressEnd);
  });
  return ranges.finish(DumpKind::ELF_CORE);
}

// --- Minidumps ---------------------------------------------------------------

constexpr uint32_t MINIDUMP_VERSION = 0xA793;
constexpr uint64_t MINIDUMP_HEADER_SIZE = 32;
constexpr uint64_t DIRECTORY_ENTRY_SIZE = 12;  // StreamType, DataSize, Rva
constexpr uint32_t MEMORY_LIST_STREAM = 5;
constexpr uint32_t MEMORY64_LIST_STREAM = 9;
constexpr uint64_t MEMORY_DESCRIPTOR_SIZE = 16;  // StartOfMemoryRange, DataSize, Rva
constexpr uint64_t MEMORY64_DESCRIPTOR_SIZE = 16;  // StartOfMemoryRange, DataSize
constexpr uint64_t MEMORY64_LIST_HEADER = 16;  // NumberOfMemoryRanges, BaseRva

// The memory list: NumberOfMemoryRanges (4), then descriptors of the start
// address (8), DataSize (4) and Rva (4). Some writers put 4 bytes of
// padding after the count; the stream's size tells.
void readMemoryList(ByteSource& file, uint64_t rva, uint64_t streamSize, RangeList& ranges) {
  HeaderBytes<4> countField(file, rva);
  auto count = countField.view().u32(0);
  if (!count || *count > AddressMap::MOST_RANGES) return ranges.spoil();
  uint64_t table = *count * MEMORY_DESCRIPTOR_SIZE;
  uint64_t first = rva + 4;
  if (streamSize == 8 + table) {
    first = rva + 8;
  } else if (streamSize < 4 + table) {
    return ranges.spoil();
  }
  forEachEntry(file, first, *count, MEMORY_DESCRIPTOR_SIZE, [&](ByteView d) {
    auto start = u64At(d, 0);
    auto size = d.u32(8), at = d.u32(12);
    if (!start || !size || !at) return ranges.spoil();
    ranges.add(file.size(), *at, *size, *start, UINT64_MAX);
  });
}

// The 64-bit memory list: NumberOfMemoryRanges (8), BaseRva (8), then
// descriptors of the start address (8) and DataSize (8); the ranges' bytes
// follow one another from BaseRva on.
void readMemory64List(ByteSource& file, uint64_t rva, uint64_t streamSize, RangeList& ranges) {
  HeaderBytes<MEMORY64_LIST_HEADER> header(file, rva);
  auto count = u64At(header.view(), 0), base = u64At(header.view(), 8);
  if (!count || !base || *count > AddressMap::MOST_RANGES ||
      streamSize < MEMORY64_LIST_HEADER + *count * MEMORY64_DESCRIPTOR_SIZE) {
    return ranges.spoil();
  }
  uint64_t at = *base;
  forEachEntry(file, rva + MEMORY64_LIST_HEADER, *count, MEMORY64_DESCRIPTOR_SIZE, [&](ByteView d) {
    auto start = u64At(d, 0), size = u64At(d, 8);
    if (!start || !size || !insideFile(file.size(), at, *size)) return ranges.spoil();
    ranges.add(file.size(), at, *size, *start, UINT64_MAX);
    at += *size;
  });
}

AddressMap readMinidump(ByteSource& file) {
  const uint64_t fileSize = file.size();
  HeaderBytes<MINIDUMP_HEADER_SIZE> header(file, 0);
  ByteView h = header.view();
  if (!h.equals(0, "MDMP")) return {};
  auto version = h.u32(4), streams = h.u32(8), directory = h.u32(12);
  if (!version || (*version & 0xFFFF) != MINIDUMP_VERSION || !streams || !directory ||
      *streams > AddressMap::MOST_RANGES || *directory < MINIDUMP_HEADER_SIZE ||
      !insideFile(fileSize, *directory, *streams * DIRECTORY_ENTRY_SIZE)) {
    return {};
  }
  // The streams first, then their ranges: a memory list is read with its
  // own reader.
  struct Stream {
    uint32_t type, size, rva;
  };
  std::vector<Stream> memoryStreams;
  bool ok = true;
  forEachEntry(file, *directory, *streams, DIRECTORY_ENTRY_SIZE, [&](ByteView e) {
    auto type = e.u32(0), size = e.u32(4), rva = e.u32(8);
    if (!type || !size || !rva) {
      ok = false;
      return;
    }
    if (*type != MEMORY_LIST_STREAM && *type != MEMORY64_LIST_STREAM) return;
    if (!insideFile(fileSize, *rva, *size) || *rva < MINIDUMP_HEADER_SIZE) {
      ok = false;
      return;
    }
    memoryStreams.push_back({*type, *size, *rva});
  });
  if (!ok) return {};
  RangeList ranges;
  for (const Stream& s : memoryStreams) {
    if (s.type == MEMORY_LIST_STREAM) {
      readMemoryList(file, s.rva, s.size, ranges);
    } else {
      readMemory64List(file, s.rva, s.size, ranges);
    }
  }
  return ranges.finish(DumpKind::MINIDUMP);
}

}  // namespace

std::string_view dumpKindName(DumpKind kind) {
  switch (kind) {
    case DumpKind::ELF_CORE:
      return "elf-core";
    case DumpKind::MINIDUMP:
      return "minidump";
    case DumpKind::RAW:
      break;
  }
  return "raw";
}

AddressMap::AddressMap(DumpKind kind, std::vector<MappedRange> ranges) : kind_(kind), ranges_(std::move(ranges)) {
  std::sort(ranges_.begin(), ranges_.end(),
            [](const MappedRange& a, const MappedRange& b) { return a.fileOffset < b.fileOffset; });
}

std::optional<uint64_t> AddressMap::addressOf(uint64_t fileOffset) const {
  auto after = std::upper_bound(ranges_.begin(), ranges_.end(), fileOffset,
                                [](uint64_t offset, const MappedRange& r) { return offset < r.fileOffset; });
  if (after == ranges_.begin()) return std::nullopt;
  const MappedRange& r = *(after - 1);
  if (fileOffset - r.fileOffset >= r.size) return std::nullopt;
  return r.address + (fileOffset - r.fileOffset);
}

AddressMap readAddressMap(ByteSource& file) {
  try {
    AddressMap elf = readElfCore(file);
    if (elf.kind() != DumpKind::RAW) return elf;
    return readMinidump(file);
  } catch (const std::bad_alloc&) {
    return {};  // no room for the ranges: a plain image
  }
}

void BlockChoice::occurrence(const SignatureOccurrence& found) {
  lastWins_.occurrence(found);
  if (found.signature != Signature::MEMORY_TRACE) return;
  if (auto address = map_.addressOf(found.offset)) {
    try {
      pending_.push_back({found.offset, *address, 0, 0});
    } catch (const std::bad_alloc&) {
      // Not kept: this occurrence cannot be shown live.
    }
  }
}

void BlockChoice::bytes(uint64_t offset, std::string_view data) {
  const uint64_t end = offset + data.size();
  while (firstPending_ < pending_.size()) {
    Pending& p = pending_[firstPending_];
    uint64_t need = p.offset + SELF_ADDRESS_OFFSET + p.have;
    if (need >= end) break;  // this one and all after it wait for later bytes
    if (need < offset) {
      ++firstPending_;  // its bytes went by before it was reported: not shown live
      continue;
    }
    while (p.have < 4 && need < end) {
      p.value |= uint32_t(static_cast<uint8_t>(data[static_cast<size_t>(need - offset)])) << (8 * p.have);
      ++p.have;
      ++need;
    }
    if (p.have < 4) break;
    if (uint64_t(p.value) == p.address) lastLive_ = p.offset;
    ++firstPending_;
  }
  // Decided entries are dropped once they are half of the list, so that
  // it holds no more than about twice the occurrences still waiting.
  if (firstPending_ > 0 && firstPending_ * 2 >= pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(firstPending_));
    firstPending_ = 0;
  }
}

BlockLocations BlockChoice::locations() const {
  BlockLocations result = lastWins_.locations;
  if (lastLive_) result.memoryTrace = *lastLive_;
  return result;
}

}  // namespace ringlens
