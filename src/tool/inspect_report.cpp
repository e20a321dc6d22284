#include "tool/inspect_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "ringlens.h"
#include "tool/json_writer.h"
#include "tool/utc_time.h"

namespace ringlens::tool {

bool RecordTally::record(const TraceRecord& record) {
  ++records;
  ++byKind[record.kind];
  if (record.isTime) {
    if (!firstTime) firstTime = record.number;
    lastTime = record.number;
  }
  if (record.hasMethodId) {
    if (record.name) {
      auto found = byName.find(std::string(*record.name));
      if (found != byName.end()) {
        ++found->second;
      } else if (byName.size() < NAME_LIMIT) {
        byName.emplace(std::string(*record.name), 1);
      } else {
        ++uncounted;
      }
    } else if (auto found = unnamedIds.find(record.methodId); found != unnamedIds.end()) {
      ++found->second;
    } else if (unnamedIds.size() < NAME_LIMIT) {
      unnamedIds.emplace(record.methodId, 1);
    } else {
      ++uncounted;
    }
  }
  return true;
}

bool RecordTally::buffer(const TraceBufferText&) {
  ++buffers;
  return true;
}

std::string_view signatureKey(Signature signature) {
  switch (signature) {
    case Signature::MEMORY_TRACE: return "memoryTrace";
    case Signature::TRACE_INDEX: return "traceIndex";
    case Signature::TRACE_METHOD: return "traceMethod";
    case Signature::TRACE_BUFFER: return "traceBuffer";
  }
  return "unknown";
}

std::string_view statusMessage(int status) {
  switch (status) {
    case STATUS_NO_MEMORY_TRACE: return MSG_NO_MEMORY_TRACE;
    case STATUS_NO_TRACE_INDEX: return MSG_NO_TRACE_INDEX;
    case STATUS_NO_TRACE_METHOD: return MSG_NO_TRACE_METHOD;
    default: return "";
  }
}

namespace {

std::string format(const char* pattern, auto... values) {
  char text[256];
  int n = std::snprintf(text, sizeof text, pattern, values...);
  return std::string(text, n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 1));
}

std::string_view endKey(FileTraceEnd end) {
  switch (end) {
    case FileTraceEnd::END_RECORD: return "end-record";
    case FileTraceEnd::END_OF_FILE: return "end-of-file";
    case FileTraceEnd::CUT_SHORT: return "cut-short";
    case FileTraceEnd::STOPPED: return "stopped";
  }
  return "unknown";
}

std::string_view endKey(RingEnd end) {
  switch (end) {
    case RingEnd::EMPTY: return "empty";
    case RingEnd::SHORT_HEADER: return "short-header";
    case RingEnd::RECORD_OUTSIDE: return "record-outside";
    case RingEnd::REPEATED_POSITION: return "repeated-position";
    case RingEnd::REACHED_NEXT: return "reached-next";
    case RingEnd::STOPPED: return "stopped";
  }
  return "unknown";
}

std::string_view kindName(uint32_t kind) {
  switch (kind) {
    case TRACE_END: return "kind 0";
    case TRACE_ENTRY: return "entry";
    case TRACE_EXIT: return "exit";
    case TRACE_TEXT: return "text";
    case TRACE_TIME: return "time";
    case TRACE_BARE_TEXT: return "bare text";
    default: return "";
  }
}

std::string utcText(int32_t time) {
  char utc[20];
  formatUtc(time, utc);
  return {utc, sizeof utc};
}

// The signature of a missing block, from ringlens's status.
std::optional<Signature> missingBlock(int status) {
  switch (status) {
    case STATUS_NO_MEMORY_TRACE: return Signature::MEMORY_TRACE;
    case STATUS_NO_TRACE_INDEX: return Signature::TRACE_INDEX;
    case STATUS_NO_TRACE_METHOD: return Signature::TRACE_METHOD;
    default: return std::nullopt;
  }
}

template <class Map>
auto mostOften(const Map& counts, size_t limit) {
  std::vector<std::pair<typename Map::key_type, uint64_t>> sorted(counts.begin(), counts.end());
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  if (sorted.size() > limit) sorted.resize(limit);
  return sorted;
}

std::string blockLabel(Signature signature, uint32_t number) {
  std::string label(signatureKey(signature));
  if (signature == Signature::TRACE_BUFFER) {
    label += ' ';
    label += std::to_string(number);
  }
  return label;
}

}  // namespace

std::string describeEnd(const FileTraceSummary& end, uint64_t fileSize) {
  switch (end.end) {
    case FileTraceEnd::END_RECORD: {
      uint64_t after = fileSize > end.offset + 4 ? fileSize - end.offset - 4 : 0;
      return format("a record of kind 0 at offset %" PRIu64 ", %" PRIu64 " bytes after it", end.offset, after);
    }
    case FileTraceEnd::END_OF_FILE:
      if (end.offset < fileSize) {
        return format("the end of the file at offset %" PRIu64 ", %" PRIu64 " bytes too few for a kind", end.offset,
                      fileSize - end.offset);
      }
      return format("the end of the file at offset %" PRIu64, end.offset);
    case FileTraceEnd::CUT_SHORT:
      return format("a record at offset %" PRIu64 " cut short, %" PRIu64 " bytes missing", end.offset,
                    end.missingBytes);
    case FileTraceEnd::STOPPED: return "stopped";
  }
  return "";
}

std::string describeEnd(const RingSummary& end) {
  switch (end.end) {
    case RingEnd::EMPTY: return "the ring is empty (the first record's length is 0)";
    case RingEnd::SHORT_HEADER: return "the block holds fewer than 40 bytes";
    case RingEnd::RECORD_OUTSIDE: return format("a record at position %" PRIu32 " is not wholly inside the block", end.position);
    case RingEnd::REPEATED_POSITION: return format("position %" PRIu32 " came round again", end.position);
    case RingEnd::REACHED_NEXT: return format("reached nextRecord at position %" PRIu32, end.position);
    case RingEnd::STOPPED: return "stopped";
  }
  return "";
}

void writeInspectText(const InspectReport& report, ToolOutput& out) {
  auto line = [&](const std::string& text) {
    out.write(text);
    out.put('\n');
  };
  const RecordTally* tally = report.tally;
  line(std::string("shape: ") + (report.shape == InputShape::FILE_TRACE ? "trace data file" : "dump"));
  if (report.dump) line("container: " + report.dump->container);
  line(format("size: %" PRIu64 " bytes", report.fileSize));

  if (const DumpFacts* dump = report.dump) {
    line(format("occurrences: %zu", dump->occurrences.size() + static_cast<size_t>(dump->occurrencesLeftOut)));
    for (const OccurrenceFact& o : dump->occurrences) {
      std::string text = "  " + blockLabel(o.found.signature, o.found.bufferNumber) +
                         format(" at offset %" PRIu64 " (0x%" PRIx64 ")", o.found.offset, o.found.offset);
      if (o.address) text += format(", address 0x%" PRIx64, *o.address);
      if (o.live) text += *o.live ? ", live" : ", not live";
      line(text);
    }
    if (dump->occurrencesLeftOut) line(format("  and %" PRIu64 " more", dump->occurrencesLeftOut));
    line("used:");
    auto used = [&](const char* name, const std::optional<uint64_t>& offset) {
      line(std::string("  ") + name + ": " + (offset ? format("offset %" PRIu64, *offset) : std::string("none")));
    };
    used("memoryTrace", dump->memoryTrace);
    used("traceIndex", dump->traceIndex);
    used("traceMethod", dump->traceMethod);
    for (auto [number, offset] : dump->traceBuffers) line(format("  traceBuffer %" PRIu32 ": offset %" PRIu64, number, offset));
    if (!dump->choice.empty()) line("  choice: " + dump->choice);
    if (!dump->blocks.empty()) line("blocks:");
    for (const BlockFact& b : dump->blocks) {
      std::string text = "  " + blockLabel(b.signature, b.bufferNumber) + format(" at offset %" PRIu64 ": ", b.offset);
      if (b.lengthField) {
        text += format("length %" PRIu64 ", %" PRIu64 " bytes held", *b.lengthField, b.bytesHeld);
      } else {
        text += "its length field lies past the end of the file";
      }
      if (b.lengthField && b.reachesPastEnd()) text += ", reaches past the end of the file";
      line(text);
    }
    if (const auto& h = dump->memoryHeader) {
      line(format("memory trace header: selfAddress 0x%08" PRIx32 ", blockSize %" PRIu32 ", oldestRecord 0x%08" PRIx32
                  ", nextRecord 0x%08" PRIx32 ", wrapReserve %" PRIu32,
                  h->selfAddress, h->blockSize, h->oldestRecord, h->nextRecord, h->wrapReserve));
    }
    if (const auto& ring = dump->ring) {
      line(format("ring: %" PRIu64 " records, %" PRIu64 " wraps", ring->records, ring->wraps));
      line("ring end: " + describeEnd(*ring));
    } else if (auto missing = missingBlock(report.status)) {
      line("ring: not walked, no " + std::string(signatureKey(*missing)) + " block");
    }
  }

  if (tally) {
    std::string kinds;
    for (auto [kind, count] : tally->byKind) {
      if (!kinds.empty()) kinds += ", ";
      std::string_view name = kindName(kind);
      kinds += name.empty() ? format("kind %" PRIu32, kind) : std::string(name);
      kinds += format(" %" PRIu64, count);
    }
    line(format("records: %" PRIu64, tally->records) + (kinds.empty() ? "" : " (" + kinds + ")"));
    if (report.dump) line(format("buffers: %" PRIu64, tally->buffers));
    if (tally->firstTime) {
      line(format("first time: %" PRId32 " (", *tally->firstTime) + utcText(*tally->firstTime) + ")");
      line(format("last time: %" PRId32 " (", *tally->lastTime) + utcText(*tally->lastTime) + ")");
    }
    if (!tally->byName.empty()) {
      line("methods named most often:");
      for (auto& [name, count] : mostOften(tally->byName, TOP_NAMES)) line(format("  %8" PRIu64 "  ", count) + name);
    }
    if (!tally->unnamedIds.empty()) {
      line(format("ids without a name: %zu", tally->unnamedIds.size()));
      for (auto& [id, count] : mostOften(tally->unnamedIds, TOP_NAMES)) {
        line(format("  %8" PRIu64 "  id %" PRIu32 " (0x%" PRIx32 ")", count, id, id));
      }
    }
  }
  if (report.fileEnd) line("end: " + describeEnd(*report.fileEnd, report.fileSize));
  std::string_view message = statusMessage(report.status);
  line(format("status: %d", report.status) + (message.empty() ? "" : " (" + std::string(message) + ")"));
}

void writeInspectJson(const InspectReport& report, ToolOutput& out) {
  JsonWriter json(out, 2);
  const DumpFacts* dump = report.dump;
  const RecordTally* tally = report.tally;
  auto optionalNumber = [&](const std::optional<uint64_t>& value) {
    if (value) {
      json.unsignedNumber(*value);
    } else {
      json.null();
    }
  };
  auto time = [&](const std::optional<int32_t>& value) {
    if (!value) return json.null();
    json.beginObject();
    json.key("time");
    json.number(*value);
    json.key("utc");
    json.asciiString(utcText(*value));
    json.endObject();
  };

  json.beginObject();
  json.key("shape");
  json.asciiString(report.shape == InputShape::FILE_TRACE ? "file-trace" : "dump");
  json.key("container");
  if (dump) {
    json.asciiString(dump->container);
  } else {
    json.null();
  }
  json.key("fileSize");
  json.unsignedNumber(report.fileSize);
  json.key("status");
  json.number(report.status);
  json.key("statusMessage");
  json.asciiString(statusMessage(report.status));
  json.key("records");
  json.unsignedNumber(tally ? tally->records : 0);
  json.key("buffers");
  json.unsignedNumber(tally ? tally->buffers : 0);
  json.key("kinds");
  json.beginObject();
  if (tally) {
    for (auto [kind, count] : tally->byKind) {
      json.key(std::to_string(kind));
      json.unsignedNumber(count);
    }
  }
  json.endObject();
  json.key("firstTime");
  time(tally ? tally->firstTime : std::nullopt);
  json.key("lastTime");
  time(tally ? tally->lastTime : std::nullopt);

  json.key("used");
  json.beginObject();
  json.key("memoryTrace");
  optionalNumber(dump ? dump->memoryTrace : std::nullopt);
  json.key("traceIndex");
  optionalNumber(dump ? dump->traceIndex : std::nullopt);
  json.key("traceMethod");
  optionalNumber(dump ? dump->traceMethod : std::nullopt);
  json.key("traceBuffers");
  json.beginObject();
  if (dump) {
    for (auto [number, offset] : dump->traceBuffers) {
      json.key(std::to_string(number));
      json.unsignedNumber(offset);
    }
  }
  json.endObject();
  json.endObject();
  json.key("choice");
  if (dump && !dump->choice.empty()) {
    json.string(dump->choice);
  } else {
    json.null();
  }

  json.key("occurrences");
  json.beginArray();
  if (dump) {
    for (const OccurrenceFact& o : dump->occurrences) {
      json.beginObject();
      json.key("signature");
      json.asciiString(signatureKey(o.found.signature));
      if (o.found.signature == Signature::TRACE_BUFFER) {
        json.key("number");
        json.unsignedNumber(o.found.bufferNumber);
      }
      json.key("offset");
      json.unsignedNumber(o.found.offset);
      json.key("address");
      optionalNumber(o.address);
      json.key("live");
      if (o.live) {
        json.boolean(*o.live);
      } else {
        json.null();
      }
      json.endObject();
    }
  }
  json.endArray();
  json.key("occurrencesLeftOut");
  json.unsignedNumber(dump ? dump->occurrencesLeftOut : 0);

  json.key("blocks");
  json.beginArray();
  if (dump) {
    for (const BlockFact& b : dump->blocks) {
      json.beginObject();
      json.key("signature");
      json.asciiString(signatureKey(b.signature));
      if (b.signature == Signature::TRACE_BUFFER) {
        json.key("number");
        json.unsignedNumber(b.bufferNumber);
      }
      json.key("offset");
      json.unsignedNumber(b.offset);
      json.key("length");
      optionalNumber(b.lengthField);
      json.key("bytesHeld");
      json.unsignedNumber(b.bytesHeld);
      json.key("reachesPastEnd");
      json.boolean(b.reachesPastEnd());
      json.endObject();
    }
  }
  json.endArray();
  json.key("memoryTraceHeader");
  if (dump && dump->memoryHeader) {
    const MemoryTraceHeader& h = *dump->memoryHeader;
    json.beginObject();
    json.key("selfAddress");
    json.unsignedNumber(h.selfAddress);
    json.key("blockSize");
    json.unsignedNumber(h.blockSize);
    json.key("oldestRecord");
    json.unsignedNumber(h.oldestRecord);
    json.key("nextRecord");
    json.unsignedNumber(h.nextRecord);
    json.key("wrapReserve");
    json.unsignedNumber(h.wrapReserve);
    json.endObject();
  } else {
    json.null();
  }

  json.key("methods");
  json.beginArray();
  if (tally) {
    for (auto& [name, count] : mostOften(tally->byName, TOP_NAMES)) {
      json.beginObject();
      json.key("name");
      json.string(name);
      json.key("count");
      json.unsignedNumber(count);
      json.endObject();
    }
  }
  json.endArray();
  json.key("unnamedIds");
  json.beginArray();
  if (tally) {
    for (auto& [id, count] : mostOften(tally->unnamedIds, TOP_NAMES)) {
      json.beginObject();
      json.key("methodId");
      json.unsignedNumber(id);
      json.key("count");
      json.unsignedNumber(count);
      json.endObject();
    }
  }
  json.endArray();
  json.key("unnamedIdCount");
  json.unsignedNumber(tally ? tally->unnamedIds.size() : 0);

  json.key("end");
  if (report.fileEnd) {
    const FileTraceSummary& end = *report.fileEnd;
    json.beginObject();
    json.key("reason");
    json.asciiString(endKey(end.end));
    json.key("offset");
    json.unsignedNumber(end.offset);
    if (end.end == FileTraceEnd::END_RECORD) {
      json.key("bytesAfter");
      json.unsignedNumber(report.fileSize > end.offset + 4 ? report.fileSize - end.offset - 4 : 0);
    }
    if (end.end == FileTraceEnd::CUT_SHORT) {
      json.key("missingBytes");
      json.unsignedNumber(end.missingBytes);
    }
    json.key("description");
    json.string(describeEnd(end, report.fileSize));
    json.endObject();
  } else if (dump && dump->ring) {
    const RingSummary& ring = *dump->ring;
    json.beginObject();
    json.key("reason");
    json.asciiString(endKey(ring.end));
    json.key("position");
    json.unsignedNumber(ring.position);
    json.key("records");
    json.unsignedNumber(ring.records);
    json.key("wraps");
    json.unsignedNumber(ring.wraps);
    json.key("description");
    json.string(describeEnd(ring));
    json.endObject();
  } else if (auto missing = missingBlock(report.status)) {
    json.beginObject();
    json.key("reason");
    json.asciiString("missing-block");
    json.key("signature");
    json.asciiString(signatureKey(*missing));
    json.endObject();
  } else {
    json.null();
  }
  json.endObject();
  json.endDocument();
}

}  // namespace ringlens::tool
