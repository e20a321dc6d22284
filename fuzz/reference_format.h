// The reference model of the formats (tests/support/reference_model.h)
// and the literal window scan, compiled apart from the fuzz target.
#pragma once

#include <string_view>

#include "dump_trace/dump_blocks.h"
#include "output.h"

namespace ringlens::fuzzing {

// Writes what the program must write for `file` to `sink` and returns the
// run status it must end with.
int referenceFormat(std::string_view file, OutputSink& sink);

// The literal window scan of the dump scan.
BlockLocations referenceBlockLocations(std::string_view file);

// The memory-trace block the model formats a dump from: in an ELF core
// file or a minidump the last live one, else the last one.
uint64_t referenceMemoryTrace(std::string_view file);

}  // namespace ringlens::fuzzing
