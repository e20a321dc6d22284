// A JSON writer (RFC 8259) that writes as it goes: objects, arrays,
// strings, integers, booleans and null, as one compact document or, with
// an indent, laid out over lines. Strings are written as well-formed
// UTF-8 (see utf8_text.h) with '"', '\' and the control characters
// escaped; a string may also be written in pieces.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tool/tool_output.h"
#include "tool/utf8_text.h"

namespace ringlens::tool {

class JsonWriter {
 public:
  // indent 0: everything on one line; otherwise that many spaces a level.
  explicit JsonWriter(ToolOutput& out, int indent = 0) : out_(out), indent_(indent) {}

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // The name of the next member of the object being written.
  void key(std::string_view name);

  // Each returns true when the bytes were well-formed UTF-8, false when
  // some were replaced.
  bool string(std::string_view bytes);
  void beginString();
  void stringPiece(std::string_view bytes);
  bool endString();

  // A string of plain ASCII the program made itself: written as it is.
  void asciiString(std::string_view text);
  void number(int64_t value);
  void unsignedNumber(uint64_t value);
  void boolean(bool value);
  void null();

  // Ends the document (or the line of a JSON Lines file): a newline.
  void endDocument();

 private:
  void beforeValue();
  void newLine();
  void escaped(std::string_view utf8);

  ToolOutput& out_;
  int indent_;
  // For each open container: whether it has a member yet.
  std::vector<bool> hasMember_;
  bool afterKey_ = false;
  Utf8Cleaner cleaner_;
};

}  // namespace ringlens::tool
