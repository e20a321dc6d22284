// A CSV writer (RFC 4180): rows of fields separated by commas, each row
// ended by CR LF. A field that holds a comma, a double quote, a CR or an
// LF is enclosed in double quotes, with each double quote inside doubled;
// a field written in pieces is always enclosed. Texts are written as
// well-formed UTF-8 (see utf8_text.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "tool/tool_output.h"
#include "tool/utf8_text.h"

namespace ringlens::tool {

inline constexpr std::string_view CSV_LINE_END = "\r\n";

class CsvWriter {
 public:
  explicit CsvWriter(ToolOutput& out) : out_(out) {}

  // Each returns true when the bytes were well-formed UTF-8.
  bool field(std::string_view bytes);
  // The same, always enclosed in quotes: an empty quoted field tells an
  // empty text from a missing one (an empty unquoted field).
  bool quotedField(std::string_view bytes);
  void beginQuotedField();
  void quotedPiece(std::string_view bytes);
  bool endQuotedField();

  void number(int64_t value);
  void unsignedNumber(uint64_t value);
  void emptyField();
  void endRow();

 private:
  void separator();
  void quoted(std::string_view utf8);

  ToolOutput& out_;
  bool rowStarted_ = false;
  Utf8Cleaner cleaner_;
};

}  // namespace ringlens::tool
