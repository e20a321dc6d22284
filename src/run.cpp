#include "run.h"

#include <string>

#include "dump_trace/dump_trace.h"
#include "dump_trace/stream_capture.h"
#include "file_trace/file_trace.h"
#include "platform.h"
#include "ringlens.h"

namespace ringlens {

int formatInput(ByteSource& file, TraceOutput& out) {
  uint8_t head[FILE_TRACE_SIGNATURE.size()];
  size_t got = file.readAt(0, head);
  if (ByteView(head, got).equals(0, FILE_TRACE_SIGNATURE)) return formatFileTrace(file, out);
  // A stream cannot be read again: its blocks are copied during the scan.
  if (file.sequentialOnly()) return formatStreamDump(file, out);
  return formatDump(file, out);
}

int runCommandLine(int argc, const char* const* argv, OutputSink& sink) {
  TraceOutput out(sink);
  if (argc < 2 || argv[1][0] == '?') {
    for (std::string_view line : USAGE_LINES) out.writeMessage(line);
    return STATUS_USAGE;
  }
  auto file = openInputFile(argv[1]);
  if (!file) {
    out.writeMessage(std::string(MSG_OPEN_FAILED) + argv[1]);
    return STATUS_OPEN_FAILED;
  }
  return out.finish(formatInput(*file, out));
}

}  // namespace ringlens
