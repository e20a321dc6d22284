#include "file_trace/file_trace.h"

#include <algorithm>
#include <cstring>

#include "ringlens.h"

namespace ringlens {

namespace {

constexpr size_t KIND_SIZE = 4;
constexpr size_t TIME_SIZE = 4;
constexpr size_t EVENT_FIELDS_SIZE = 8;  // number, textLength

char markFor(uint32_t kind) {
  switch (kind) {
    case TRACE_ENTRY: return '>';
    case TRACE_EXIT: return '<';
    default: return ' ';
  }
}

// Writes the text held in the next `textLength` bytes up to its first NUL,
// and consumes the whole field, a piece at a time, or as much of it as
// the file holds.
void writeTextField(SequentialReader& in, uint32_t textLength, TraceOutput& out) {
  uint64_t remaining = textLength;
  bool ended = false;
  while (remaining > 0) {
    ByteView piece = in.peek(static_cast<size_t>(std::min<uint64_t>(remaining, SequentialReader::BUFFER_SIZE)));
    if (piece.empty()) return;
    if (!ended) {
      std::string_view text = piece.text();
      out.writeText(text);
      ended = text.size() < piece.size();
    }
    in.consume(piece.size());
    remaining -= piece.size();
  }
}

}  // namespace

int formatFileTrace(ByteSource& file, TraceOutput& out) {
  SequentialReader in(file, FILE_TRACE_SIGNATURE.size());
  for (;;) {
    Cursor kindField(in.peek(KIND_SIZE));
    uint32_t kind = kindField.u32();
    if (!kindField.ok() || kind == TRACE_END) break;
    in.consume(KIND_SIZE);

    if (kind == TRACE_TIME) {
      Cursor fields(in.peek(TIME_SIZE));
      int32_t time = fields.i32();
      if (!fields.ok()) break;  // cut short by the end of the file
      in.consume(TIME_SIZE);
      out.writeTimeLine(time);
      continue;
    }

    Cursor fields(in.peek(EVENT_FIELDS_SIZE));
    int32_t number = fields.i32();
    uint32_t textLength = fields.u32();
    if (!fields.ok()) break;  // cut short by the end of the file
    in.consume(EVENT_FIELDS_SIZE);
    out.beginEventLine(kind != TRACE_BARE_TEXT, number, markFor(kind));
    writeTextField(in, textLength, out);
    out.endLine();
  }
  file.close();
  return STATUS_OK;
}

}  // namespace ringlens
