#include "tool/tool_output.h"

#include <string>

namespace ringlens::tool {

ToolOutput::ToolOutput(OutputSink& sink) : sink_(sink), buffer_(new char[BUFFER_SIZE]) {}

ToolOutput::~ToolOutput() { flush(); }

void ToolOutput::handOver() {
  if (used_ > 0 && !outFailed_ && !sink_.writeOut({buffer_.get(), used_})) outFailed_ = true;
  used_ = 0;
}

void ToolOutput::writeLong(std::string_view bytes) {
  handOver();
  if (bytes.size() < BUFFER_SIZE) {
    write(bytes);
  } else if (!outFailed_ && !sink_.writeOut(bytes)) {
    outFailed_ = true;
  }
}

bool ToolOutput::flush() {
  handOver();
  return !outFailed_;
}

void ToolOutput::message(std::string_view text) {
  flush();
  std::string line(text);
  line += '\n';
  sink_.writeErr(line);
}

}  // namespace ringlens::tool
