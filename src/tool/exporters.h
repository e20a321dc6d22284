// Records as JSON Lines or CSV, one line (row) per record, in the order a
// reader hands them on.
//
// JSON Lines, one object a line:
//   {"record":"buffer","number":N,"offset":O,"text":T}
//   {"record":"time","kind":4,"offset":O,"time":SECONDS,"utc":"YYYY-MM-DDTHH:MM:SSZ"}
//   {"record":"event","kind":K,"offset":O,"number":N,"mark":M,"text":T}
//   {"record":"event","kind":K,"offset":O,"number":N,"mark":M,"methodId":I,"name":S}
// "number" is left out when the line shows none; "name" is null when the
// method id has no name. A text or name that is not well-formed UTF-8 is
// written with U+FFFD for each bad byte, and its exact bytes follow as
// "textBytes" / "nameBytes" in lowercase hexadecimal.
//
// CSV: a header row, then a row per record with the columns of CSV_HEADER;
// a column a record does not have is empty. "text" and "name" are always
// quoted, so that an empty text ("") differs from none (an empty field);
// "mark" is quoted too, as it is often a space.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "tool/csv_writer.h"
#include "tool/json_writer.h"
#include "tool/tool_output.h"
#include "trace_records.h"

namespace ringlens::tool {

inline constexpr std::string_view CSV_HEADER =
    "record,kind,offset,number,mark,time,utc,methodId,name,nameBytes,text,textBytes";

// The bytes of one text that arrives in pieces, kept so that they can be
// written as hexadecimal once the whole text has turned out not to be
// well-formed UTF-8. Up to MEMORY_LIMIT bytes are held in memory, the rest
// in an unnamed temporary file, so no byte of a long text is lost.
class TextBytesKeeper {
 public:
  static constexpr size_t MEMORY_LIMIT = 1 << 20;

  TextBytesKeeper() = default;
  ~TextBytesKeeper();
  TextBytesKeeper(const TextBytesKeeper&) = delete;
  TextBytesKeeper& operator=(const TextBytesKeeper&) = delete;

  // False when the bytes could not be kept (no temporary file).
  bool add(std::string_view bytes);
  // Hands every byte kept on to `each(std::string_view)`, in order; false
  // when the temporary file could not be read back.
  template <class Each>
  bool replay(Each&& each) {
    if (!memory_.empty()) each(std::string_view(memory_));
    if (!spill_) return true;
    std::rewind(spill_);
    char chunk[64 * 1024];
    uint64_t left = spilled_;
    while (left > 0) {
      size_t got = std::fread(chunk, 1, left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk, spill_);
      if (got == 0) return false;
      each(std::string_view(chunk, got));
      left -= got;
    }
    return true;
  }
  void clear();
  uint64_t size() const { return memory_.size() + spilled_; }

 private:
  std::string memory_;
  std::FILE* spill_ = nullptr;
  uint64_t spilled_ = 0;
};

// What the two exporters share: a record whose text arrives in pieces is
// written as they come and ended by recordDone, by the next record or
// buffer, or by finish.
class RecordExporter : public RecordConsumer {
 public:
  explicit RecordExporter(ToolOutput& out) : out_(out) {}

  bool record(const TraceRecord& record) override;
  bool buffer(const TraceBufferText& buffer) override;
  bool moreText(std::string_view piece) override;
  bool recordDone() override;

  // Ends a line left open and hands the output on; call once at the end.
  bool finish();
  // Why the export stopped other than for its output ("" when it did not).
  const std::string& problem() const { return problem_; }

 protected:
  virtual void writeTime(const TraceRecord& record) = 0;
  // Everything of an event before its text (ring method records: all).
  virtual void writeEventHead(const TraceRecord& record) = 0;
  virtual void writeBufferHead(const TraceBufferText& buffer) = 0;
  virtual void beginText() = 0;
  virtual void textPiece(std::string_view piece) = 0;
  // Ends the text and returns whether it was well-formed UTF-8.
  virtual bool endText() = 0;
  virtual void beginTextBytes() = 0;
  virtual void endTextBytes() = 0;
  // Everything after the text, and the line's end.
  virtual void endRecord(bool hadText) = 0;

  // Bytes as lowercase hexadecimal.
  void hex(std::string_view bytes);

  ToolOutput& out_;

 private:
  bool startText(std::string_view first, bool continues);
  bool closeOpen();

  bool open_ = false;  // a text is still coming
  TextBytesKeeper kept_;
  std::string problem_;
};

class JsonLinesExporter : public RecordExporter {
 public:
  explicit JsonLinesExporter(ToolOutput& out) : RecordExporter(out), json_(out) {}

 protected:
  void writeTime(const TraceRecord& record) override;
  void writeEventHead(const TraceRecord& record) override;
  void writeBufferHead(const TraceBufferText& buffer) override;
  void beginText() override;
  void textPiece(std::string_view piece) override;
  bool endText() override;
  void beginTextBytes() override;
  void endTextBytes() override;
  void endRecord(bool hadText) override;

 private:
  JsonWriter json_;
};

class CsvExporter : public RecordExporter {
 public:
  // Writes the header row.
  explicit CsvExporter(ToolOutput& out);

 protected:
  void writeTime(const TraceRecord& record) override;
  void writeEventHead(const TraceRecord& record) override;
  void writeBufferHead(const TraceBufferText& buffer) override;
  void beginText() override;
  void textPiece(std::string_view piece) override;
  bool endText() override;
  void beginTextBytes() override;
  void endTextBytes() override;
  void endRecord(bool hadText) override;

 private:
  CsvWriter csv_;
  bool textBytesWritten_ = false;
};

}  // namespace ringlens::tool
