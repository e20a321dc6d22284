#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "ringlens.h"
#include "trace_lines.h"

namespace ringlens {

int formatDump(ByteSource& file, TraceOutput& out) {
  // Inside an ELF core file or a minidump the live memory-trace block is
  // used, not a stale copy; see BlockChoice.
  const AddressMap map = readAddressMap(file);
  BlockChoice choice(map);
  scanDump(file, choice);
  return formatDumpStages(file, choice.locations(), out);
}

int formatDumpStages(ByteSource& file, const BlockLocations& locations, TraceOutput& out) {
  TraceLineWriter lines(out);
  // A reader that closed the pipe does not change the run: the blocks are
  // still looked for, and a missing one still reported. Lost output ends
  // the run with that failure alone.
  printTraceBuffers(file, locations, lines);
  if (out.failed()) return STATUS_OUTPUT_FAILED;

  if (locations.memoryTrace == 0) {
    out.writeMessage(MSG_NO_MEMORY_TRACE);
    return STATUS_NO_MEMORY_TRACE;
  }
  MemoryTrace trace = loadMemoryTrace(file, locations.memoryTrace);

  if (locations.traceIndex == 0) {
    out.writeMessage(MSG_NO_TRACE_INDEX);
    return STATUS_NO_TRACE_INDEX;
  }
  MethodNames names;
  names.loadTraceIndex(file, locations.traceIndex);

  if (locations.traceMethod == 0) {
    out.writeMessage(MSG_NO_TRACE_METHOD);
    return STATUS_NO_TRACE_METHOD;
  }
  names.loadTraceMethod(file, locations.traceMethod);
  file.close();

  walkMemoryTrace(trace, names, lines);
  return STATUS_OK;
}

}  // namespace ringlens
