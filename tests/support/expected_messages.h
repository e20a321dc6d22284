// What the program writes to standard error, as the tests expect it: the
// usage text and the failure messages, each with its end of line.
#pragma once

#include <string>

namespace ringlens::testing {

inline const std::string USAGE =
    "RINGLENS - Format a trace data file or trace dump.\n"
    "   Syntax: RINGLENS fileName\n"
    "           where fileName is a file created by trace or\n"
    "           a system dump file containing a memory trace\n";
inline const std::string NO_MEMORY_TRACE = "Unable to find trace signature in file.\n";
inline const std::string NO_TRACE_INDEX = "Unable to find trace index signature in file.\n";
inline const std::string NO_TRACE_METHOD = "Unable to find trace method signature in file.\n";
inline const std::string OUTPUT_FAILED = "Unable to write trace output.\n";

inline std::string openFailed(const std::string& argument) { return "Unable to open trace file - " + argument + "\n"; }

}  // namespace ringlens::testing
