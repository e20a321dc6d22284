// The program's entry: the command line, the choice between a trace data
// file and a dump, and the run's status.
#pragma once

#include "input_file.h"
#include "output.h"

namespace ringlens {

// Formats the input as a trace data file when its first 18 bytes are the
// file-trace signature, else as a dump. Returns the run status.
int formatInput(ByteSource& file, TraceOutput& out);

// Runs the program on its arguments (argv[0] is the program's name) and
// returns the process exit status. Everything written goes to `sink`.
int runCommandLine(int argc, const char* const* argv, OutputSink& sink);

}  // namespace ringlens
