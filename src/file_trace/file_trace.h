// Trace data files: the signature, then records back to back until a
// record of kind 0 or the end of the file.
//
//   kind 0:          kind (4)
//   kind 4:          kind (4), time (4)
//   any other kind:  kind (4), number (4), textLength (4), text (textLength)
#pragma once

#include <cstdint>
#include <optional>

#include "byte_reader.h"
#include "input_file.h"
#include "output.h"
#include "trace_records.h"

namespace ringlens {

// The fixed fields of a record, before its text.
struct FileRecordHead {
  uint32_t kind = 0;
  int32_t number = 0;       // the time stamp for kind 4
  uint32_t textLength = 0;  // 0 for kinds 0 and 4, which have no text
};

// How many bytes the fixed fields of a record of this kind take.
inline uint64_t fileRecordHeadSize(uint32_t kind) {
  switch (kind) {
    case 0: return 4;
    case 4: return 8;
    default: return 12;
  }
}

// The record head at the start of `bytes`, when all of its fixed fields
// are there.
std::optional<FileRecordHead> decodeFileRecordHead(ByteView bytes);

// Reads the records from offset 18 on and hands each to the consumer, in
// file order, until a record of kind 0, the end of the file, or the
// consumer's wish; says which.
FileTraceSummary readFileTrace(ByteSource& file, RecordConsumer& consumer);

// Writes every record of the trace data file, whose signature has been
// checked, as its line; closes the file and returns STATUS_OK.
int formatFileTrace(ByteSource& file, TraceOutput& out);

}  // namespace ringlens
