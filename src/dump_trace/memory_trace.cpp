#include "dump_trace/dump_trace.h"
#include "ringlens.h"

namespace ringlens {

namespace {

constexpr std::string_view ENTRY_NAME_UNKNOWN = "Entry Name Unknown";
constexpr std::string_view EXIT_NAME_UNKNOWN = "Exit Name Unknown";
constexpr uint64_t RING_HEADER_SIZE = RING_START;
constexpr uint64_t TIME_RECORD_SIZE = 12;   // length, kind, time
constexpr uint64_t EVENT_RECORD_SIZE = 16;  // length, kind, number, methodId

struct Record {
  uint32_t length;
  uint32_t kind;
};

// The ring as the walk sees it: positions are offsets into the copy of the
// block, computed in unsigned 32-bit arithmetic as the facility does.
class Ring {
 public:
  explicit Ring(ByteView block)
      : block_(block),
        blockSize_(*block.u32(BLOCK_SIZE_OFFSET)),
        wrapReserve_(*block.u32(WRAP_RESERVE_OFFSET)) {}

  // The record at `position`, when the fields its line needs lie wholly
  // inside the copy.
  std::optional<Record> recordAt(uint32_t position) const {
    Cursor fields(block_, position);
    Record record{fields.u32(), fields.u32()};
    uint64_t needed = record.kind == TRACE_TIME ? TIME_RECORD_SIZE : EVENT_RECORD_SIZE;
    if (!fields.ok() || !block_.contains(position, needed)) return std::nullopt;
    return record;
  }

  // Where the record after `position` starts: `length` bytes on, or the
  // ring's start when no more than wrapReserve bytes are left before the
  // block's end.
  uint32_t following(uint32_t position, uint32_t length) const {
    uint32_t next = position + length;
    return next + wrapReserve_ >= blockSize_ ? RING_START : next;
  }

  ByteView block() const { return block_; }

 private:
  ByteView block_;
  uint32_t blockSize_;
  uint32_t wrapReserve_;
};

// How many records the walk from `first` writes. It ends at `stop` (met
// after at least one record), at a record that does not lie inside the
// copy, and at the first position it has already written, so a damaged
// ring whose positions never meet `stop` is still written once and ends.
// Repeats are found with Brent's cycle detection, which needs no memory
// for the positions seen.
uint64_t recordsToWrite(const Ring& ring, uint32_t first, uint32_t stop) {
  auto advance = [&](uint32_t position) -> std::optional<uint32_t> {
    auto record = ring.recordAt(position);
    if (!record) return std::nullopt;
    return ring.following(position, record->length);
  };

  // Run ahead until the walk ends or a position comes round again; `cycle`
  // is then the number of steps between two visits of one position.
  uint64_t steps = 0, power = 1, cycle = 1;
  uint32_t saved = first, position = first;
  for (;;) {
    auto next = advance(position);
    if (!next) return steps;
    ++steps;
    position = *next;
    if (position == stop) return steps;
    if (position == saved) break;
    if (power == cycle) {
      saved = position;
      power *= 2;
      cycle = 0;
    }
    ++cycle;
  }

  // Every position up to the first repeat has been passed without an end,
  // so the walk writes the records before the first repeat: find it.
  uint32_t behind = first, ahead = first;
  for (uint64_t i = 0; i < cycle; ++i) ahead = *advance(ahead);
  uint64_t lead = 0;
  while (behind != ahead) {
    behind = *advance(behind);
    ahead = *advance(ahead);
    ++lead;
  }
  return lead + cycle;
}

void writeRecord(ByteView block, uint32_t position, const Record& record, const MethodNames& names,
                 TraceOutput& out) {
  int32_t number = *block.i32(uint64_t(position) + RECORD_NUMBER_OFFSET);
  switch (record.kind) {
    case TRACE_TIME:
      out.writeTimeLine(number);
      return;
    case TRACE_TEXT:
    case TRACE_BARE_TEXT:
      out.writeEventLine(record.kind == TRACE_TEXT, number, ' ',
                         block.slice(uint64_t(position) + RECORD_TEXT_OFFSET).text());
      return;
    default: {
      auto name = names.lookupMethodName(*block.u32(uint64_t(position) + RECORD_METHOD_ID_OFFSET));
      bool entry = record.kind == TRACE_ENTRY;
      out.writeEventLine(true, number, entry ? '>' : '<',
                         name ? *name : entry ? ENTRY_NAME_UNKNOWN : EXIT_NAME_UNKNOWN);
    }
  }
}

}  // namespace

MemoryTrace loadMemoryTrace(ByteSource& file, uint64_t offset) {
  return {loadBlock(file, offset, BLOCK_SIZE_OFFSET)};
}

void walkMemoryTrace(const MemoryTrace& trace, const MethodNames& names, TraceOutput& out) {
  ByteView block = trace.block.view();
  if (block.size() < RING_HEADER_SIZE) return;
  Ring ring(block);
  uint32_t self = *block.u32(SELF_ADDRESS_OFFSET);
  uint32_t position = *block.u32(OLDEST_RECORD_OFFSET) - self;
  uint32_t stop = *block.u32(NEXT_RECORD_OFFSET) - self;

  auto firstLength = block.u32(position);
  if (!firstLength || *firstLength == 0) return;  // an empty ring

  for (uint64_t count = recordsToWrite(ring, position, stop); count > 0; --count) {
    Record record = *ring.recordAt(position);
    writeRecord(block, position, record, names, out);
    position = ring.following(position, record.length);
  }
}

}  // namespace ringlens
