// The text lines of the format as a consumer of decoded records: each
// record becomes its time line or event line, each trace buffer its
// "**TRACE_BUFFER_n: " and text, written through a TraceOutput.
#pragma once

#include <string_view>

#include "output.h"
#include "trace_records.h"

namespace ringlens {

inline constexpr std::string_view ENTRY_NAME_UNKNOWN = "Entry Name Unknown";
inline constexpr std::string_view EXIT_NAME_UNKNOWN = "Exit Name Unknown";

// The text an event line shows for the record: a method record's name, or
// the text for an entry or exit whose id has none; any other record's text.
inline std::string_view lineTextOf(const TraceRecord& record) {
  if (!record.hasMethodId) return record.text;
  if (record.name) return *record.name;
  return record.mark == '>' ? ENTRY_NAME_UNKNOWN : EXIT_NAME_UNKNOWN;
}

class TraceLineWriter final : public RecordConsumer {
 public:
  explicit TraceLineWriter(TraceOutput& out) : out_(out) {}

  bool record(const TraceRecord& record) override {
    if (record.isTime) {
      out_.writeTimeLine(record.number);
    } else if (!record.textContinues) {
      // The common case: the whole line made in one place, handed over once.
      out_.writeEventLine(record.hasNumber, record.number, record.mark, lineTextOf(record));
    } else {
      out_.beginEventLine(record.hasNumber, record.number, record.mark);
      out_.writeText(lineTextOf(record));
      lineOpen_ = true;
    }
    return out_.outputOpen();
  }

  bool buffer(const TraceBufferText& buffer) override;

  bool moreText(std::string_view piece) override {
    out_.writeText(piece);
    return out_.outputOpen();
  }

  // A record's line ends after its last piece; a buffer's text has no end
  // of line of its own.
  bool recordDone() override {
    if (lineOpen_) out_.endLine();
    lineOpen_ = false;
    return out_.outputOpen();
  }

 private:
  TraceOutput& out_;
  bool lineOpen_ = false;
};

}  // namespace ringlens
