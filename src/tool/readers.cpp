#include "tool/readers.h"

#include "ringlens.h"

namespace ringlens::tool {

ToolReaders builtInReaders() {
  ToolReaders readers;
  // ===================================================================
  // INTEGRATION POINT: tie the readers of ringlens_core in here.
  //
  // readers.readFileTrace = [](ByteSource& file, RecordConsumer& consumer) {
  //   return readFileTrace(file, consumer);            // file_trace/file_trace.h
  // };
  // readers.readDump = [](ByteSource& file, RecordConsumer& consumer,
  //                       ScanObserver* scan, DumpFacts& facts) {
  //   // scanDump(file, observer) with an observer that folds the last
  //   // occurrences, fills facts.occurrences (addresses and liveness from
  //   // dump_container.h) and passes everything on to `scan`; the live
  //   // choice (facts.memoryTrace, facts.choice); printTraceBuffers,
  //   // loadMemoryTrace, MethodNames, walkMemoryTrace with `consumer`;
  //   // facts.blocks, facts.memoryHeader, facts.ring, facts.keep; and
  //   // the status formatDump would return.
  // };
  // ===================================================================
  return readers;
}

InputShape detectShape(ByteSource& file) {
  uint8_t head[FILE_TRACE_SIGNATURE.size()];
  size_t got = file.readAt(0, head);
  return ByteView(head, got).equals(0, FILE_TRACE_SIGNATURE) ? InputShape::FILE_TRACE : InputShape::DUMP;
}

}  // namespace ringlens::tool
