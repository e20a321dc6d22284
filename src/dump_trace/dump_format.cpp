#include "dump_trace/dump_trace.h"
#include "ringlens.h"

namespace ringlens {

int formatDump(ByteSource& file, TraceOutput& out) {
  BlockLocations locations = scanDump(file);
  printTraceBuffers(file, locations, out);

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

  walkMemoryTrace(trace, names, out);
  return STATUS_OK;
}

}  // namespace ringlens
