#include "file_trace/file_trace.h"

#include <algorithm>

#include "ringlens.h"
#include "trace_lines.h"

namespace ringlens {

namespace {

constexpr size_t LONGEST_HEAD = 12;

char markFor(uint32_t kind) {
  switch (kind) {
    case TRACE_ENTRY: return '>';
    case TRACE_EXIT: return '<';
    default: return ' ';
  }
}

}  // namespace

std::optional<FileRecordHead> decodeFileRecordHead(ByteView bytes) {
  Cursor fields(bytes);
  FileRecordHead head;
  head.kind = fields.u32();
  if (fields.ok() && head.kind != TRACE_END) {
    head.number = fields.i32();
    if (head.kind != TRACE_TIME) head.textLength = fields.u32();
  }
  if (!fields.ok()) return std::nullopt;
  return head;
}

FileTraceSummary readFileTrace(ByteSource& file, RecordConsumer& consumer) {
  SequentialReader in(file, FILE_TRACE_SIGNATURE.size());
  FileTraceSummary summary;
  uint64_t offset = FILE_TRACE_SIGNATURE.size();
  auto end = [&](FileTraceEnd why, uint64_t missing = 0) {
    summary.end = why;
    summary.offset = offset;
    summary.missingBytes = missing;
    return summary;
  };
  for (;;) {
    const ByteView available = in.peek(LONGEST_HEAD);
    if (available.empty()) return end(FileTraceEnd::END_OF_FILE);
    auto head = decodeFileRecordHead(available);
    if (!head) {
      // The fixed fields are cut short: of the kind itself, or of the
      // fields its kind has.
      Cursor kind(available);
      uint64_t needed = fileRecordHeadSize(kind.u32());
      if (!kind.ok()) needed = 4;
      return end(FileTraceEnd::CUT_SHORT, needed - available.size());
    }
    if (head->kind == TRACE_END) return end(FileTraceEnd::END_RECORD);
    const uint64_t headSize = fileRecordHeadSize(head->kind);
    in.consume(static_cast<size_t>(headSize));

    TraceRecord record;
    record.kind = head->kind;
    record.offset = offset;
    record.number = head->number;
    if (head->kind == TRACE_TIME) {
      record.isTime = true;
      ++summary.records;
      offset += headSize;
      if (!consumer.record(record)) return end(FileTraceEnd::STOPPED);
      continue;
    }
    record.hasNumber = head->kind != TRACE_BARE_TEXT;
    record.mark = markFor(head->kind);

    // The text field, a piece at a time: the text is the bytes up to the
    // first NUL; the whole field is consumed, or as much as the file holds.
    uint64_t remaining = head->textLength;
    ByteView piece = in.peek(static_cast<size_t>(std::min<uint64_t>(remaining, SequentialReader::BUFFER_SIZE)));
    record.text = piece.text();
    bool textEnded = record.text.size() < piece.size();
    record.textContinues = !textEnded && piece.size() < remaining && piece.size() == SequentialReader::BUFFER_SIZE;
    ++summary.records;
    if (!consumer.record(record)) return end(FileTraceEnd::STOPPED);
    in.consume(piece.size());
    remaining -= piece.size();
    offset += headSize + piece.size();
    while (remaining > 0 && !piece.empty()) {
      piece = in.peek(static_cast<size_t>(std::min<uint64_t>(remaining, SequentialReader::BUFFER_SIZE)));
      if (piece.empty()) break;
      if (!textEnded) {
        std::string_view text = piece.text();
        textEnded = text.size() < piece.size();
        if (!consumer.moreText(text)) return end(FileTraceEnd::STOPPED);
      }
      in.consume(piece.size());
      remaining -= piece.size();
      offset += piece.size();
    }
    if (record.textContinues && !consumer.recordDone()) return end(FileTraceEnd::STOPPED);
    if (remaining > 0) {
      // The text field is cut short by the end of the file; the record
      // started where its head did.
      offset = record.offset;
      return end(FileTraceEnd::CUT_SHORT, remaining);
    }
  }
}

int formatFileTrace(ByteSource& file, TraceOutput& out) {
  TraceLineWriter lines(out);
  readFileTrace(file, lines);
  file.close();
  return STATUS_OK;
}

}  // namespace ringlens
