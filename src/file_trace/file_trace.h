// Trace data files: the signature, then records back to back until a
// record of kind 0 or the end of the file.
//
//   kind 0:          kind (4)
//   kind 4:          kind (4), time (4)
//   any other kind:  kind (4), number (4), textLength (4), text (textLength)
#pragma once

#include "input_file.h"
#include "output.h"

namespace ringlens {

// Writes every record of the trace data file, whose signature has been
// checked, as its line; closes the file and returns STATUS_OK.
int formatFileTrace(ByteSource& file, TraceOutput& out);

}  // namespace ringlens
