// Shared vocabulary of ringlens: record kinds, run statuses and the texts
// the program writes to standard error.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace ringlens {

// The 32-bit record kind stored in every trace record, in trace data files
// and in the memory ring of a dump alike.
enum TraceKind : uint32_t {
  TRACE_END = 0,        // ends the records of a trace data file
  TRACE_ENTRY = 1,      // a method was entered
  TRACE_EXIT = 2,       // a method was left
  TRACE_TEXT = 3,       // a text with a number
  TRACE_TIME = 4,       // a time stamp
  TRACE_BARE_TEXT = 5,  // a text without a number
};

// Process exit statuses.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_USAGE = 99;
inline constexpr int STATUS_OPEN_FAILED = 100;
inline constexpr int STATUS_NO_MEMORY_TRACE = 101;
inline constexpr int STATUS_NO_TRACE_INDEX = 102;
inline constexpr int STATUS_NO_TRACE_METHOD = 103;
inline constexpr int STATUS_OUTPUT_FAILED = 104;

inline constexpr std::array<std::string_view, 4> USAGE_LINES = {
    "RINGLENS - Format a trace data file or trace dump.",
    "   Syntax: RINGLENS fileName",
    "           where fileName is a file created by trace or",
    "           a system dump file containing a memory trace",
};
inline constexpr std::string_view MSG_OPEN_FAILED = "Unable to open trace file - ";
inline constexpr std::string_view MSG_NO_MEMORY_TRACE = "Unable to find trace signature in file.";
inline constexpr std::string_view MSG_NO_TRACE_INDEX = "Unable to find trace index signature in file.";
inline constexpr std::string_view MSG_NO_TRACE_METHOD = "Unable to find trace method signature in file.";
inline constexpr std::string_view MSG_OUTPUT_FAILED = "Unable to write trace output.";

// The first bytes of every trace data file; anything else is a dump.
inline constexpr std::string_view FILE_TRACE_SIGNATURE = "****FILE_TRACE****";

}  // namespace ringlens
