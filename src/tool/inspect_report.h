// What `inspect` reports, gathered while the readers run, and its two
// renderings: a readable report and one JSON document.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dump_trace/dump_container.h"
#include "tool/extract_writer.h"
#include "tool/tool_output.h"
#include "trace_records.h"

namespace ringlens::tool {

enum class InputShape { FILE_TRACE, DUMP };

// One occurrence of a signature in a dump.
struct OccurrenceFact {
  SignatureOccurrence found;
  std::optional<uint64_t> address;  // where the container maps the offset
  std::optional<bool> live;         // memory traces in a container: whether it is live
};

// The memory-trace block's header fields.
struct MemoryTraceHeader {
  uint32_t selfAddress = 0;
  uint32_t blockSize = 0;
  uint32_t oldestRecord = 0;
  uint32_t nextRecord = 0;
  uint32_t wrapReserve = 0;
};

// A block in use: where it lies, its length field and the bytes the file
// holds of it.
struct BlockFact {
  Signature signature = Signature::MEMORY_TRACE;
  uint32_t bufferNumber = 0;
  uint64_t offset = 0;
  std::optional<uint64_t> lengthField;  // none when the field lies past the end
  uint64_t bytesHeld = 0;               // of the length, the bytes the file has
  bool reachesPastEnd() const { return !lengthField || *lengthField > bytesHeld; }
};

// What reading a dump finds beside its records.
struct DumpFacts {
  std::string container = "raw";  // "elf-core", "minidump" or "raw"
  AddressMap map;                  // the container's file offsets -> process addresses
  std::vector<OccurrenceFact> occurrences;  // in order of offset, at most OCCURRENCE_LIMIT
  uint64_t occurrencesLeftOut = 0;
  static constexpr size_t OCCURRENCE_LIMIT = 10000;

  std::optional<uint64_t> memoryTrace, traceIndex, traceMethod;  // offsets used
  std::map<uint32_t, uint64_t> traceBuffers;                      // number -> offset used
  std::string choice;  // which memory-trace occurrence is used and why
  std::vector<BlockFact> blocks;
  std::optional<MemoryTraceHeader> memoryHeader;
  std::optional<RingSummary> ring;  // none when the ring was not walked
  // The byte ranges an extract must keep: the blocks in use and what the
  // container needs to map them alike.
  std::vector<ByteRange> keep;
};

// Counts of the records handed on, by kind and method.
class RecordTally : public RecordConsumer {
 public:
  static constexpr size_t NAME_LIMIT = 100000;  // distinct names and ids counted

  bool record(const TraceRecord& record) override;
  bool buffer(const TraceBufferText& buffer) override;

  uint64_t records = 0;  // buffers aside
  uint64_t buffers = 0;
  std::map<uint32_t, uint64_t> byKind;
  std::optional<int32_t> firstTime, lastTime;
  std::unordered_map<std::string, uint64_t> byName;  // ring method records with a name
  std::unordered_map<uint32_t, uint64_t> unnamedIds;  // ring method ids without one
  uint64_t uncounted = 0;  // method records past NAME_LIMIT
};

struct InspectReport {
  InputShape shape = InputShape::DUMP;
  uint64_t fileSize = 0;
  int status = 0;  // the status ringlens ends with on this input
  const RecordTally* tally = nullptr;
  std::optional<FileTraceSummary> fileEnd;  // trace data files
  const DumpFacts* dump = nullptr;          // dumps
};

inline constexpr size_t TOP_NAMES = 10;

void writeInspectText(const InspectReport& report, ToolOutput& out);
void writeInspectJson(const InspectReport& report, ToolOutput& out);

// "memoryTrace", "traceIndex", "traceMethod", "traceBuffer".
std::string_view signatureKey(Signature signature);
// A file trace's or a ring's end, in words.
std::string describeEnd(const FileTraceSummary& end, uint64_t fileSize);
std::string describeEnd(const RingSummary& end);
// The message ringlens writes with a status ("" for none).
std::string_view statusMessage(int status);

}  // namespace ringlens::tool
