#include "tool/json_writer.h"

#include <charconv>

namespace ringlens::tool {

void JsonWriter::newLine() {
  if (indent_ <= 0) return;
  out_.put('\n');
  for (size_t i = 0; i < hasMember_.size() * static_cast<size_t>(indent_); ++i) out_.put(' ');
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (hasMember_.empty()) return;
  if (hasMember_.back()) out_.put(',');
  hasMember_.back() = true;
  newLine();
}

void JsonWriter::beginObject() {
  beforeValue();
  out_.put('{');
  hasMember_.push_back(false);
}

void JsonWriter::endObject() {
  bool any = hasMember_.back();
  hasMember_.pop_back();
  if (any) newLine();
  out_.put('}');
}

void JsonWriter::beginArray() {
  beforeValue();
  out_.put('[');
  hasMember_.push_back(false);
}

void JsonWriter::endArray() {
  bool any = hasMember_.back();
  hasMember_.pop_back();
  if (any) newLine();
  out_.put(']');
}

void JsonWriter::key(std::string_view name) {
  beforeValue();
  out_.put('"');
  cleaner_.reset();
  stringPiece(name);
  endString();
  out_.put(':');
  if (indent_ > 0) out_.put(' ');
  afterKey_ = true;
}

void JsonWriter::escaped(std::string_view utf8) {
  static constexpr char HEX[] = "0123456789abcdef";
  size_t run = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out_.write(utf8.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out_.write("\\\""); break;
      case '\\': out_.write("\\\\"); break;
      case '\n': out_.write("\\n"); break;
      case '\r': out_.write("\\r"); break;
      case '\t': out_.write("\\t"); break;
      case '\b': out_.write("\\b"); break;
      case '\f': out_.write("\\f"); break;
      default: {
        char u[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
        out_.write({u, sizeof u});
      }
    }
  }
  out_.write(utf8.substr(run));
}

bool JsonWriter::string(std::string_view bytes) {
  beginString();
  stringPiece(bytes);
  return endString();
}

void JsonWriter::beginString() {
  beforeValue();
  out_.put('"');
  cleaner_.reset();
}

void JsonWriter::stringPiece(std::string_view bytes) {
  cleaner_.feed(bytes, [this](std::string_view part) { escaped(part); });
}

bool JsonWriter::endString() {
  cleaner_.finish([this](std::string_view part) { escaped(part); });
  out_.put('"');
  return !cleaner_.invalid();
}

void JsonWriter::asciiString(std::string_view text) {
  beforeValue();
  out_.put('"');
  escaped(text);
  out_.put('"');
}

void JsonWriter::number(int64_t value) {
  beforeValue();
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out_.write({text, static_cast<size_t>(end - text)});
}

void JsonWriter::unsignedNumber(uint64_t value) {
  beforeValue();
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out_.write({text, static_cast<size_t>(end - text)});
}

void JsonWriter::boolean(bool value) {
  beforeValue();
  out_.write(value ? "true" : "false");
}

void JsonWriter::null() {
  beforeValue();
  out_.write("null");
}

void JsonWriter::endDocument() {
  out_.put('\n');
  hasMember_.clear();
  afterKey_ = false;
}

}  // namespace ringlens::tool
