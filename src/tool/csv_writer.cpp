#include "tool/csv_writer.h"

#include <charconv>
#include <string>

namespace ringlens::tool {

void CsvWriter::separator() {
  if (rowStarted_) out_.put(',');
  rowStarted_ = true;
}

void CsvWriter::quoted(std::string_view utf8) {
  size_t run = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '"') continue;
    out_.write(utf8.substr(run, i + 1 - run));
    out_.put('"');
    run = i + 1;
  }
  out_.write(utf8.substr(run));
}

bool CsvWriter::field(std::string_view bytes) {
  bool invalid = false;
  std::string clean = cleanUtf8(bytes, &invalid);
  separator();
  if (clean.find_first_of(",\"\r\n") == std::string::npos) {
    out_.write(clean);
  } else {
    out_.put('"');
    quoted(clean);
    out_.put('"');
  }
  return !invalid;
}

bool CsvWriter::quotedField(std::string_view bytes) {
  beginQuotedField();
  quotedPiece(bytes);
  return endQuotedField();
}

void CsvWriter::beginQuotedField() {
  separator();
  out_.put('"');
  cleaner_.reset();
}

void CsvWriter::quotedPiece(std::string_view bytes) {
  cleaner_.feed(bytes, [this](std::string_view part) { quoted(part); });
}

bool CsvWriter::endQuotedField() {
  cleaner_.finish([this](std::string_view part) { quoted(part); });
  out_.put('"');
  return !cleaner_.invalid();
}

void CsvWriter::number(int64_t value) {
  separator();
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out_.write({text, static_cast<size_t>(end - text)});
}

void CsvWriter::unsignedNumber(uint64_t value) {
  separator();
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out_.write({text, static_cast<size_t>(end - text)});
}

void CsvWriter::emptyField() { separator(); }

void CsvWriter::endRow() {
  out_.write(CSV_LINE_END);
  rowStarted_ = false;
}

}  // namespace ringlens::tool
