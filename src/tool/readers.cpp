#include "tool/readers.h"

#include <algorithm>
#include <map>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "file_trace/file_trace.h"
#include "ringlens.h"

namespace ringlens::tool {

namespace {

// Hands the scan to the block choice (as ringlens does), keeps every
// occurrence for the report and passes everything on to the caller's
// observer (the progress bar).
class OccurrenceCollector final : public ScanObserver {
 public:
  OccurrenceCollector(DumpFacts& facts, const AddressMap& map, ScanObserver* next)
      : choice(map), facts_(facts), next_(next) {}

  void occurrence(const SignatureOccurrence& found) override {
    choice.occurrence(found);
    if (facts_.occurrences.size() < DumpFacts::OCCURRENCE_LIMIT) {
      facts_.occurrences.push_back({found, std::nullopt, std::nullopt});
    } else {
      ++facts_.occurrencesLeftOut;
    }
    if (next_) next_->occurrence(found);
  }
  void bytes(uint64_t offset, std::string_view data) override {
    choice.bytes(offset, data);
    if (next_) next_->bytes(offset, data);
  }

  BlockChoice choice;

 private:
  DumpFacts& facts_;
  ScanObserver* next_;
};

// Passes the trace buffers on and notes how many text bytes each one had,
// which an extract keeps (with the NUL behind them).
class BufferTextCounter final : public RecordConsumer {
 public:
  explicit BufferTextCounter(RecordConsumer& next) : next_(next) {}
  bool record(const TraceRecord& record) override { return next_.record(record); }
  bool buffer(const TraceBufferText& buffer) override {
    textBytes[buffer.number] = buffer.text.size();
    last_ = buffer.number;
    return next_.buffer(buffer);
  }
  bool moreText(std::string_view piece) override {
    textBytes[last_] += piece.size();
    return next_.moreText(piece);
  }
  bool recordDone() override { return next_.recordDone(); }

  std::map<uint32_t, uint64_t> textBytes;

 private:
  RecordConsumer& next_;
  uint32_t last_ = 0;
};

std::optional<uint64_t> usedOffset(uint64_t offset) {
  return offset == 0 ? std::nullopt : std::optional<uint64_t>(offset);
}

// The length field of the block at `offset`, `fieldAt` bytes into it.
std::optional<uint32_t> lengthFieldOf(ByteSource& file, uint64_t offset, uint64_t fieldAt) {
  uint8_t field[4];
  Cursor length(ByteView(field, file.readAt(offset + fieldAt, field)));
  uint32_t value = length.u32();
  if (!length.ok()) return std::nullopt;
  return value;
}

// A block whose length field counts the whole block (memory trace, trace
// index, trace method): what the file holds of it, and the bytes an
// extract keeps, which are the bytes ringlens copies, and at least the
// signature and the length field, so that both are found alike.
void noteWholeBlock(ByteSource& file, Signature signature, uint64_t offset, uint64_t fieldAt, DumpFacts& facts) {
  const uint64_t size = file.size();
  BlockFact block;
  block.signature = signature;
  block.offset = offset;
  const uint64_t available = offset < size ? size - offset : 0;
  auto length = lengthFieldOf(file, offset, fieldAt);
  if (length) {
    block.lengthField = *length;
    block.bytesHeld = std::min<uint64_t>(*length, available);
  }
  facts.blocks.push_back(block);
  uint64_t keep = length ? std::max<uint64_t>(block.bytesHeld, fieldAt + 4) : available;
  facts.keep.push_back({offset, std::min(keep, available)});
}

// A trace buffer: its 24-byte head and the text up to and including its
// NUL, or the whole field when it holds none; a buffer cut short by the
// end of the file runs to the end.
void noteBuffer(ByteSource& file, uint32_t number, uint64_t offset, uint64_t textBytes, DumpFacts& facts) {
  const uint64_t size = file.size();
  const uint64_t available = offset < size ? size - offset : 0;
  uint8_t headBytes[TRACE_BUFFER_HEADER_SIZE];
  auto head = decodeTraceBufferHeader(ByteView(headBytes, file.readAt(offset, headBytes)));
  BlockFact block;
  block.signature = Signature::TRACE_BUFFER;
  block.bufferNumber = number;
  block.offset = offset;
  uint64_t keep = available;
  if (head) {
    const uint64_t textAvailable = available - TRACE_BUFFER_HEADER_SIZE;
    block.lengthField = head->textLength;
    block.bytesHeld = std::min<uint64_t>(head->textLength, textAvailable);
    keep = TRACE_BUFFER_HEADER_SIZE + std::min<uint64_t>(head->textLength, textBytes + 1);
  }
  facts.blocks.push_back(block);
  facts.keep.push_back({offset, std::min(keep, available)});
}

std::optional<MemoryTraceHeader> memoryHeaderAt(ByteSource& file, uint64_t offset) {
  uint8_t headBytes[RING_START];
  auto header = decodeRingHeader(ByteView(headBytes, file.readAt(offset, headBytes)));
  if (!header) return std::nullopt;
  return MemoryTraceHeader{header->selfAddress, header->blockSize, header->oldestRecord, header->nextRecord,
                           header->wrapReserve};
}

// Whether the memory-trace occurrence at `offset`, at process address
// `address`, is live: its selfAddress field holds that address. (The same
// test as the block choice's, for the report of each occurrence.)
bool liveAt(ByteSource& file, uint64_t offset, uint64_t address) {
  uint8_t field[4];
  Cursor self(ByteView(field, file.readAt(offset + SELF_ADDRESS_OFFSET, field)));
  uint32_t value = self.u32();
  return self.ok() && uint64_t(value) == address;
}

// Which memory-trace occurrence is used, and why.
std::string describeChoice(const AddressMap& map, const BlockChoice& choice) {
  const std::string others = "; every other signature: its last occurrence";
  if (map.kind() == DumpKind::RAW) {
    return "the last memory-trace occurrence (a raw dump maps no addresses, so none is known to be live)" + others;
  }
  if (choice.lastLiveMemoryTrace()) {
    return "the last live memory-trace occurrence (its selfAddress is the process address of its first byte)" + others;
  }
  return "the last memory-trace occurrence (none in this " + std::string(dumpKindName(map.kind())) +
         " is live)" + others;
}

int readDumpWithCore(ByteSource& file, RecordConsumer& consumer, ScanObserver* scan, DumpFacts& facts) {
  facts.map = readAddressMap(file);
  const AddressMap& map = facts.map;
  OccurrenceCollector collector(facts, map, scan);
  scanDump(file, collector);
  const BlockLocations locations = collector.choice.locations();
  facts.container = std::string(dumpKindName(map.kind()));
  if (map.kind() != DumpKind::RAW) {
    for (OccurrenceFact& o : facts.occurrences) {
      o.address = map.addressOf(o.found.offset);
      if (o.found.signature == Signature::MEMORY_TRACE) o.live = o.address && liveAt(file, o.found.offset, *o.address);
    }
  }
  facts.memoryTrace = usedOffset(locations.memoryTrace);
  facts.traceIndex = usedOffset(locations.traceIndex);
  facts.traceMethod = usedOffset(locations.traceMethod);
  for (uint32_t number = 4; number < TRACE_BUFFER_COUNT; ++number) {
    if (locations.traceBuffer[number] != 0) facts.traceBuffers[number] = locations.traceBuffer[number];
  }
  if (facts.memoryTrace) facts.choice = describeChoice(map, collector.choice);

  // As ringlens: the buffers, then each block in turn; output that is gone
  // does not change which block is missing.
  BufferTextCounter buffers(consumer);
  bool open = printTraceBuffers(file, locations, buffers);
  for (auto [number, offset] : facts.traceBuffers) {
    auto counted = buffers.textBytes.find(number);
    noteBuffer(file, number, offset, counted == buffers.textBytes.end() ? 0 : counted->second, facts);
  }

  if (!facts.memoryTrace) return STATUS_NO_MEMORY_TRACE;
  MemoryTrace trace = loadMemoryTrace(file, *facts.memoryTrace);
  noteWholeBlock(file, Signature::MEMORY_TRACE, *facts.memoryTrace, BLOCK_SIZE_OFFSET, facts);
  facts.memoryHeader = memoryHeaderAt(file, *facts.memoryTrace);

  if (!facts.traceIndex) return STATUS_NO_TRACE_INDEX;
  MethodNames names;
  names.loadTraceIndex(file, *facts.traceIndex);
  noteWholeBlock(file, Signature::TRACE_INDEX, *facts.traceIndex, BLOCK_LENGTH_OFFSET, facts);

  if (!facts.traceMethod) return STATUS_NO_TRACE_METHOD;
  names.loadTraceMethod(file, *facts.traceMethod);
  noteWholeBlock(file, Signature::TRACE_METHOD, *facts.traceMethod, BLOCK_LENGTH_OFFSET, facts);

  if (open) {
    facts.ring = walkMemoryTrace(trace, names, consumer);
  } else {
    facts.ring = RingSummary{RingEnd::STOPPED, 0, 0, 0};
  }
  return STATUS_OK;
}

}  // namespace

ToolReaders builtInReaders() {
  ToolReaders readers;
  readers.readFileTrace = [](ByteSource& file, RecordConsumer& consumer) { return ringlens::readFileTrace(file, consumer); };
  readers.readDump = readDumpWithCore;
  return readers;
}

InputShape detectShape(ByteSource& file) {
  uint8_t head[FILE_TRACE_SIGNATURE.size()];
  size_t got = file.readAt(0, head);
  return ByteView(head, got).equals(0, FILE_TRACE_SIGNATURE) ? InputShape::FILE_TRACE : InputShape::DUMP;
}

}  // namespace ringlens::tool
