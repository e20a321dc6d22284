// The reference model of tests/support, built on its own, without the
// fuzzer's instrumentation: its byte comparisons are not the program's and
// must not steer the fuzzer or slow it down.
#include "reference_format.h"

#include "support/reference_model.h"
#include "support/reference_scan.h"

namespace ringlens::fuzzing {

int referenceFormat(std::string_view file, OutputSink& sink) { return testing::referenceFormat(file, sink); }

BlockLocations referenceBlockLocations(std::string_view file) { return testing::referenceScan(file); }

uint64_t referenceMemoryTrace(std::string_view file) { return testing::referenceMemoryTrace(file); }

}  // namespace ringlens::fuzzing
