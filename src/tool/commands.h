// ringlens-tool's commands. Each writes through a ToolOutput, so tests run
// them in-process and see exactly what they write, and takes the readers
// and the progress bar it is to use.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "output.h"
#include "tool/progress.h"
#include "tool/readers.h"
#include "tool/tool_output.h"

namespace ringlens::tool {

// The tool's statuses beside ringlens's own (ringlens.h). Standard output
// or an extract that cannot be written ends with the same status ringlens
// gives when its output is lost.
inline constexpr int TOOL_STATUS_OUTPUT_FAILED = 104;
inline constexpr std::string_view TOOL_MSG_OUTPUT_FAILED = "Unable to write trace output.";
// A reader this build does not have yet.
inline constexpr int TOOL_STATUS_UNAVAILABLE = 1;

enum class ExportFormat { JSON_LINES, CSV };

struct ToolContext {
  ToolOutput& out;
  ToolReaders readers;
  std::function<std::unique_ptr<ProgressBar>()> progress = [] { return ProgressBar::silent(); };
};

int inspectCommand(ToolContext& context, const std::string& file, bool json);
int exportCommand(ToolContext& context, const std::string& file, ExportFormat format);
int extractCommand(ToolContext& context, const std::string& dump, const std::string& outPath, bool replace);

// Parses the command line (argv[0] is the program's name), runs the
// command and returns the exit status: 0 for --help and --version,
// STATUS_USAGE (99) for a command line that cannot be used.
int runTool(int argc, const char* const* argv, ToolContext& context);

}  // namespace ringlens::tool
