#include "trace_lines.h"

#include "dump_trace/dump_blocks.h"

namespace ringlens {

bool TraceLineWriter::buffer(const TraceBufferText& buffer) {
  char digits[NUMBER_TEXT_SIZE];
  out_.writeText(TRACE_BUFFER_PREFIX);
  out_.writeText({digits, formatNumber(static_cast<int32_t>(buffer.number), digits)});
  out_.writeText(": ");
  out_.writeText(buffer.text);
  lineOpen_ = false;
  return out_.outputOpen();
}

}  // namespace ringlens
