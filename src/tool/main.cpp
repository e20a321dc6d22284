// ringlens-tool: inspects a trace data file or a dump, extracts the trace
// from a dump into a small file, and exports the records as JSON Lines or
// CSV.
#include "output.h"
#include "platform.h"
#include "tool/commands.h"
#include "tool/readers.h"
#include "tool/tool_output.h"

int main(int argc, char** argv) {
  ringlens::initPlatform();
  ringlens::StandardStreams streams;
  ringlens::tool::ToolOutput out(streams);
  ringlens::tool::ToolContext context{out, ringlens::tool::builtInReaders(),
                                      [] { return ringlens::tool::ProgressBar::onStandardError(); }};
  int status = ringlens::tool::runTool(argc, argv, context);
  out.flush();
  return status;
}
