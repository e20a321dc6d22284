#include "dump_trace/dump_trace.h"
#include "ringlens.h"

namespace ringlens {

namespace {

// The ring as the walk sees it: positions are offsets into the copy of the
// block, computed in unsigned 32-bit arithmetic as the facility does.
class Ring {
 public:
  Ring(ByteView block, const RingHeader& header) : block_(block), header_(header) {}

  // The record at `position`, when the fields it has lie wholly inside the
  // copy.
  std::optional<RingRecord> recordAt(uint32_t position) const { return decodeRingRecord(block_, position); }

  // Where the record after `position` starts: `length` bytes on, or the
  // ring's start when no more than wrapReserve bytes are left before the
  // block's end.
  uint32_t following(uint32_t position, uint32_t length) const {
    return wraps(position, length) ? RING_START : position + length;
  }
  bool wraps(uint32_t position, uint32_t length) const {
    return position + length + header_.wrapReserve >= header_.blockSize;
  }

 private:
  ByteView block_;
  RingHeader header_;
};

// How many records the walk from `first` hands on: it ends at `stop` (met
// after at least one record), at a record that does not lie inside the
// copy, and at the first position it has already handed on. Repeats are
// found with Brent's cycle detection, which needs no memory for the
// positions seen; only the length and kind of each record are read.
uint64_t recordsBeforeARepeat(const Ring& ring, uint32_t first, uint32_t stop) {
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
  // so the walk hands on the records before the first repeat: find it.
  // Each position on the way was decoded above, so `advance` succeeds.
  uint32_t behind = first, ahead = first;
  for (uint64_t i = 0; i < cycle; ++i) ahead = advance(ahead).value_or(stop);
  uint64_t lead = 0;
  while (behind != ahead) {
    behind = advance(behind).value_or(stop);
    ahead = advance(ahead).value_or(stop);
    ++lead;
  }
  return lead + cycle;
}

}  // namespace

MemoryTrace loadMemoryTrace(ByteSource& file, uint64_t offset) {
  return {loadBlock(file, offset, BLOCK_SIZE_OFFSET), offset};
}

// The walk hands on each record as it decodes it, in one pass. A sound
// ring goes forward from the oldest record, at most once back to the
// ring's start and then forward again, staying below the oldest record
// until it meets nextRecord, so no position can come round again. Only
// when the walk leaves that shape (a second step back, or a step back
// that lands at or beyond the oldest record, or the second lap reaching
// it) can it meet a position it has handed on; then the number of
// records before the first repeat is counted from the lengths alone, and
// the walk goes on until it has handed on that many.
RingSummary walkMemoryTrace(const MemoryTrace& trace, const MethodNames& names, RecordConsumer& consumer) {
  RingSummary summary;
  const ByteView block = trace.block.view();
  auto header = decodeRingHeader(block);
  if (!header || block.size() < RING_START) {
    summary.end = RingEnd::SHORT_HEADER;
    return summary;
  }
  const Ring ring(block, *header);
  const uint32_t first = header->oldestRecord - header->selfAddress;
  const uint32_t stop = header->nextRecord - header->selfAddress;
  uint32_t position = first;
  summary.position = position;

  Cursor firstLength(block, position);
  if (firstLength.u32() == 0) {  // an empty ring, or no length field at all
    summary.end = RingEnd::EMPTY;
    return summary;
  }

  bool steppedBack = false;             // the walk has gone back once
  uint64_t limit = UINT64_MAX;          // records before the first repeat, once counted
  TraceRecord out;
  for (;;) {
    auto record = ring.recordAt(position);
    if (!record) {
      summary.end = RingEnd::RECORD_OUTSIDE;
      break;
    }
    if (summary.records == limit) {
      summary.end = RingEnd::REPEATED_POSITION;
      break;
    }

    out.kind = record->kind;
    out.offset = trace.offset + position;
    out.number = record->number;
    out.isTime = record->kind == TRACE_TIME;
    out.hasNumber = record->kind != TRACE_BARE_TEXT;
    out.text = record->text;
    if (record->kind == TRACE_TEXT || record->kind == TRACE_BARE_TEXT || out.isTime) {
      out.mark = ' ';
      out.hasMethodId = false;
      out.methodId = 0;
      out.name.reset();
    } else {
      out.mark = record->kind == TRACE_ENTRY ? '>' : '<';
      out.hasMethodId = true;
      out.methodId = record->methodId;
      out.name = names.lookupMethodName(record->methodId);
    }
    ++summary.records;
    if (!consumer.record(out)) {
      summary.end = RingEnd::STOPPED;
      break;
    }

    const uint32_t next = ring.following(position, record->length);
    if (ring.wraps(position, record->length)) ++summary.wraps;
    if (next == stop) {
      position = next;
      summary.end = RingEnd::REACHED_NEXT;
      break;
    }
    if (limit == UINT64_MAX) {
      // Could `next` be a position already handed on?
      bool mayRepeat = false;
      if (next == first) {
        mayRepeat = true;
      } else if (next <= position) {
        mayRepeat = steppedBack || next > first;
        steppedBack = true;
      } else if (steppedBack && next > first) {
        mayRepeat = true;
      }
      if (mayRepeat) limit = recordsBeforeARepeat(ring, first, stop);
    }
    position = next;
  }
  summary.position = position;
  return summary;
}

}  // namespace ringlens
