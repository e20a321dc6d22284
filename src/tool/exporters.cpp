#include "tool/exporters.h"

#include <cerrno>
#include <cstring>

#include "tool/utc_time.h"

namespace ringlens::tool {

TextBytesKeeper::~TextBytesKeeper() {
  if (spill_) std::fclose(spill_);
}

bool TextBytesKeeper::add(std::string_view bytes) {
  size_t room = memory_.size() < MEMORY_LIMIT ? MEMORY_LIMIT - memory_.size() : 0;
  size_t here = bytes.size() < room ? bytes.size() : room;
  memory_.append(bytes.substr(0, here));
  bytes.remove_prefix(here);
  if (bytes.empty()) return true;
  if (!spill_ && !(spill_ = std::tmpfile())) return false;
  if (std::fseek(spill_, 0, SEEK_END) != 0) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), spill_) != bytes.size()) return false;
  spilled_ += bytes.size();
  return true;
}

void TextBytesKeeper::clear() {
  memory_.clear();
  if (memory_.capacity() > MEMORY_LIMIT) memory_.shrink_to_fit();
  if (spill_) std::fclose(spill_);
  spill_ = nullptr;
  spilled_ = 0;
}

void RecordExporter::hex(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  char chunk[512];
  while (!bytes.empty()) {
    size_t n = bytes.size() < sizeof chunk / 2 ? bytes.size() : sizeof chunk / 2;
    for (size_t i = 0; i < n; ++i) {
      auto b = static_cast<unsigned char>(bytes[i]);
      chunk[2 * i] = DIGITS[b >> 4];
      chunk[2 * i + 1] = DIGITS[b & 15];
    }
    out_.write({chunk, 2 * n});
    bytes.remove_prefix(n);
  }
}

bool RecordExporter::startText(std::string_view first, bool continues) {
  beginText();
  textPiece(first);
  if (!continues) {
    if (!endText()) {
      beginTextBytes();
      hex(first);
      endTextBytes();
    }
    endRecord(true);
    return out_.ok();
  }
  kept_.clear();
  open_ = true;
  if (!kept_.add(first)) {
    problem_ = std::string("cannot keep the bytes of a long text: ") + std::strerror(errno);
    return false;
  }
  return out_.ok();
}

bool RecordExporter::closeOpen() {
  if (!open_) return true;
  open_ = false;
  if (!endText()) {
    beginTextBytes();
    bool complete = kept_.replay([this](std::string_view bytes) { hex(bytes); });
    endTextBytes();
    if (!complete && problem_.empty()) problem_ = "cannot read back the bytes of a long text";
  }
  kept_.clear();
  endRecord(true);
  return out_.ok() && problem_.empty();
}

bool RecordExporter::record(const TraceRecord& record) {
  if (!closeOpen()) return false;
  if (record.isTime) {
    writeTime(record);
    return out_.ok();
  }
  writeEventHead(record);
  if (record.hasMethodId) {
    endRecord(false);
    return out_.ok();
  }
  return startText(record.text, record.textContinues);
}

bool RecordExporter::buffer(const TraceBufferText& buffer) {
  if (!closeOpen()) return false;
  writeBufferHead(buffer);
  return startText(buffer.text, buffer.textContinues);
}

bool RecordExporter::moreText(std::string_view piece) {
  if (!open_) return out_.ok();
  textPiece(piece);
  if (!kept_.add(piece)) {
    problem_ = std::string("cannot keep the bytes of a long text: ") + std::strerror(errno);
    return false;
  }
  return out_.ok();
}

bool RecordExporter::recordDone() { return closeOpen(); }

bool RecordExporter::finish() {
  bool closed = closeOpen();
  return out_.flush() && closed;
}

// JSON Lines.

void JsonLinesExporter::writeTime(const TraceRecord& record) {
  char utc[20];
  formatUtc(record.number, utc);
  json_.beginObject();
  json_.key("record");
  json_.asciiString("time");
  json_.key("kind");
  json_.unsignedNumber(record.kind);
  json_.key("offset");
  json_.unsignedNumber(record.offset);
  json_.key("time");
  json_.number(record.number);
  json_.key("utc");
  json_.asciiString({utc, sizeof utc});
  json_.endObject();
  json_.endDocument();
}

void JsonLinesExporter::writeEventHead(const TraceRecord& record) {
  json_.beginObject();
  json_.key("record");
  json_.asciiString("event");
  json_.key("kind");
  json_.unsignedNumber(record.kind);
  json_.key("offset");
  json_.unsignedNumber(record.offset);
  if (record.hasNumber) {
    json_.key("number");
    json_.number(record.number);
  }
  json_.key("mark");
  json_.string({&record.mark, 1});
  if (!record.hasMethodId) return;
  json_.key("methodId");
  json_.unsignedNumber(record.methodId);
  json_.key("name");
  if (!record.name) {
    json_.null();
  } else if (!json_.string(*record.name)) {
    json_.key("nameBytes");
    json_.beginString();
    hex(*record.name);
    json_.endString();
  }
}

void JsonLinesExporter::writeBufferHead(const TraceBufferText& buffer) {
  json_.beginObject();
  json_.key("record");
  json_.asciiString("buffer");
  json_.key("number");
  json_.unsignedNumber(buffer.number);
  json_.key("offset");
  json_.unsignedNumber(buffer.offset);
}

void JsonLinesExporter::beginText() {
  json_.key("text");
  json_.beginString();
}
void JsonLinesExporter::textPiece(std::string_view piece) { json_.stringPiece(piece); }
bool JsonLinesExporter::endText() { return json_.endString(); }
void JsonLinesExporter::beginTextBytes() {
  json_.key("textBytes");
  json_.beginString();
}
void JsonLinesExporter::endTextBytes() { json_.endString(); }
void JsonLinesExporter::endRecord(bool) {
  json_.endObject();
  json_.endDocument();
}

// CSV.

CsvExporter::CsvExporter(ToolOutput& out) : RecordExporter(out), csv_(out) {
  out_.write(CSV_HEADER);
  out_.write(CSV_LINE_END);
}

void CsvExporter::writeTime(const TraceRecord& record) {
  char utc[20];
  formatUtc(record.number, utc);
  csv_.field("time");
  csv_.unsignedNumber(record.kind);
  csv_.unsignedNumber(record.offset);
  csv_.emptyField();  // number
  csv_.emptyField();  // mark
  csv_.number(record.number);
  csv_.field({utc, sizeof utc});
  for (int i = 0; i < 5; ++i) csv_.emptyField();  // methodId, name, nameBytes, text, textBytes
  csv_.endRow();
}

void CsvExporter::writeEventHead(const TraceRecord& record) {
  csv_.field("event");
  csv_.unsignedNumber(record.kind);
  csv_.unsignedNumber(record.offset);
  if (record.hasNumber) {
    csv_.number(record.number);
  } else {
    csv_.emptyField();
  }
  csv_.quotedField({&record.mark, 1});
  csv_.emptyField();  // time
  csv_.emptyField();  // utc
  if (!record.hasMethodId) {
    for (int i = 0; i < 3; ++i) csv_.emptyField();  // methodId, name, nameBytes
    return;
  }
  csv_.unsignedNumber(record.methodId);
  if (!record.name) {
    csv_.emptyField();
    csv_.emptyField();
  } else if (csv_.quotedField(*record.name)) {
    csv_.emptyField();
  } else {
    csv_.emptyField();  // nameBytes: hexadecimal digits need no quotes
    hex(*record.name);
  }
}

void CsvExporter::writeBufferHead(const TraceBufferText& buffer) {
  csv_.field("buffer");
  csv_.emptyField();  // kind
  csv_.unsignedNumber(buffer.offset);
  csv_.unsignedNumber(buffer.number);
  for (int i = 0; i < 6; ++i) csv_.emptyField();  // mark, time, utc, methodId, name, nameBytes
}

void CsvExporter::beginText() { csv_.beginQuotedField(); }
void CsvExporter::textPiece(std::string_view piece) { csv_.quotedPiece(piece); }
bool CsvExporter::endText() { return csv_.endQuotedField(); }
void CsvExporter::beginTextBytes() { csv_.emptyField(); }
void CsvExporter::endTextBytes() { textBytesWritten_ = true; }
void CsvExporter::endRecord(bool hadText) {
  if (!hadText) csv_.emptyField();  // text
  if (!textBytesWritten_) csv_.emptyField();
  textBytesWritten_ = false;
  csv_.endRow();
}

}  // namespace ringlens::tool
