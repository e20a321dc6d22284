#include "output.h"

#include <cstring>
#include <ctime>

#include "platform.h"
#include "ringlens.h"

namespace ringlens {

bool StandardStreams::writeOut(std::string_view bytes) {
  StreamWrite result = writeStandardOutput(bytes);
  if (result == StreamWrite::CLOSED) readerClosed_ = true;
  return result == StreamWrite::WRITTEN;
}
bool StandardStreams::writeErr(std::string_view bytes) { return writeStandardError(bytes); }
bool StandardStreams::liveReader() const { return !standardOutputIsFile(); }

namespace {

void twoDigits(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10 % 10);
  at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

void formatTimeText(int32_t time, char (&text)[24]) {
  static constexpr char DAYS[] = "SunMonTueWedThuFriSat";
  static constexpr char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::tm local{};
  int year = 0;
  if (!toLocalTime(time, local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11 || (year = local.tm_year + 1900) < 1000 || year > 9999) {
    // No local-time conversion for this value on this platform: the line
    // keeps its shape.
    std::memcpy(text, "??? ??? ?? ??:??:?? ????", 24);
    return;
  }
  std::memcpy(text, DAYS + 3 * local.tm_wday, 3);
  text[3] = ' ';
  std::memcpy(text + 4, MONTHS + 3 * local.tm_mon, 3);
  text[7] = ' ';
  twoDigits(text + 8, local.tm_mday);
  text[10] = ' ';
  twoDigits(text + 11, local.tm_hour);
  text[13] = ':';
  twoDigits(text + 14, local.tm_min);
  text[16] = ':';
  twoDigits(text + 17, local.tm_sec);
  text[19] = ' ';
  twoDigits(text + 20, year / 100);
  twoDigits(text + 22, year % 100);
}

size_t formatNumber(int32_t number, char* text) {
  static constexpr char PAIRS[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  uint32_t magnitude = number < 0 ? 0u - static_cast<uint32_t>(number) : static_cast<uint32_t>(number);
  size_t used = number < 0 ? size_t{1} : size_t{0};
  if (number < 0) text[0] = '-';
  used += size_t{1} + (magnitude >= 10u) + (magnitude >= 100u) + (magnitude >= 1000u) + (magnitude >= 10000u) +
          (magnitude >= 100000u) + (magnitude >= 1000000u) + (magnitude >= 10000000u) + (magnitude >= 100000000u) +
          (magnitude >= 1000000000u);
  // Digits from the last, two at a time.
  char* at = text + used;
  while (magnitude >= 100) {
    at -= 2;
    std::memcpy(at, PAIRS + 2 * (magnitude % 100), 2);
    magnitude /= 100;
  }
  if (magnitude >= 10) {
    std::memcpy(at - 2, PAIRS + 2 * magnitude, 2);
  } else {
    at[-1] = static_cast<char>('0' + magnitude);
  }
  return used;
}

TraceOutput::TraceOutput(OutputSink& sink)
    : sink_(sink), buffer_(new char[BUFFER_SIZE]), lineByLine_(sink.liveReader()) {}

TraceOutput::~TraceOutput() { flush(); }

void TraceOutput::handOver(std::string_view bytes) {
  if (!outOpen_ || sink_.writeOut(bytes)) return;
  outOpen_ = false;
  outFailed_ = !sink_.readerClosed();
}

void TraceOutput::flush() {
  if (used_ == 0) return;
  handOver({buffer_.get(), used_});
  used_ = 0;
}

void TraceOutput::writeText(std::string_view bytes) {
  // An empty text may come as a view with no data at all, which memcpy
  // must not be given.
  if (!outOpen_ || bytes.empty()) return;
  size_t room = BUFFER_SIZE - used_;
  if (bytes.size() > room) {
    if (!lineByLine_) {
      // A file gets full buffers: fill this one to the brim first.
      std::memcpy(buffer_.get() + used_, bytes.data(), room);
      used_ = BUFFER_SIZE;
      bytes.remove_prefix(room);
    }
    flush();
    if (bytes.size() >= BUFFER_SIZE) {
      // Too large to buffer: hand it over directly, in order.
      handOver(bytes);
      return;
    }
    if (!outOpen_) return;
  }
  std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

void TraceOutput::writeLineEnd() {
  if (used_ < BUFFER_SIZE) {
    buffer_[used_++] = '\n';
  } else {
    writeText("\n");
  }
  if (lineByLine_) flush();
}

void TraceOutput::endLine() {
  if (outOpen_) writeLineEnd();
}

void TraceOutput::beginEventLine(bool hasNumber, int32_t number, char mark) {
  constexpr size_t LONGEST = NUMBER_TEXT_SIZE + 2;
  if (!outOpen_) return;
  if (BUFFER_SIZE - used_ < LONGEST && lineByLine_) flush();
  // The number, a space and the mark go straight into the buffer, or
  // through a copy where the buffer's last bytes must be filled.
  char prefix[LONGEST];
  const bool inPlace = BUFFER_SIZE - used_ >= LONGEST;
  char* const start = inPlace ? buffer_.get() + used_ : prefix;
  char* at = start;
  if (hasNumber) {
    at += formatNumber(number, at);
    *at++ = ' ';
  }
  *at++ = mark;
  const size_t length = static_cast<size_t>(at - start);
  if (inPlace) {
    used_ += length;
  } else {
    writeText({prefix, length});
  }
}

void TraceOutput::writeEventLine(bool hasNumber, int32_t number, char mark, std::string_view text) {
  if (!outOpen_) return;
  // The whole line: number, space, mark, text, end of line.
  const size_t longest = NUMBER_TEXT_SIZE + 3 + text.size();
  // A live reader gets a line that fits the buffer in one piece.
  if (longest > BUFFER_SIZE - used_ && lineByLine_) flush();
  if (longest > BUFFER_SIZE - used_) {
    beginEventLine(hasNumber, number, mark);
    writeText(text);
    endLine();
    return;
  }
  // The common case: the line is made in the buffer, in one place.
  char* const start = buffer_.get() + used_;
  char* at = start;
  if (hasNumber) {
    at += formatNumber(number, at);
    *at++ = ' ';
  }
  *at++ = mark;
  if (!text.empty()) {
    std::memcpy(at, text.data(), text.size());
    at += text.size();
  }
  *at++ = '\n';
  used_ += static_cast<size_t>(at - start);
  if (lineByLine_) flush();
}

void TraceOutput::writeTimeLine(int32_t time) {
  if (!outOpen_) return;
  if (!timeCached_ || time != cachedTime_) {
    formatTimeText(time, cachedTimeText_);
    cachedTime_ = time;
    timeCached_ = true;
  }
  constexpr size_t LENGTH = 35;  // "----*", 24 characters, "*----", end of line
  if (BUFFER_SIZE - used_ < LENGTH && lineByLine_) flush();
  char line[LENGTH];
  const bool inPlace = BUFFER_SIZE - used_ >= LENGTH;
  char* const at = inPlace ? buffer_.get() + used_ : line;
  std::memcpy(at, "----*", 5);
  std::memcpy(at + 5, cachedTimeText_, 24);
  std::memcpy(at + 29, "*----\n", 6);
  if (inPlace) {
    used_ += LENGTH;
  } else {
    writeText({line, LENGTH});
  }
  if (lineByLine_) flush();
}

void TraceOutput::writeMessage(std::string_view text) {
  flush();
  if (outFailed_ || errFailed_) return;
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  if (!sink_.writeErr(line)) errFailed_ = true;
}

int TraceOutput::finish(int status) {
  flush();
  if (!outFailed_) return status;
  if (!errFailed_) {
    std::string line(MSG_OUTPUT_FAILED);
    line.push_back('\n');
    if (!sink_.writeErr(line)) errFailed_ = true;
  }
  return STATUS_OUTPUT_FAILED;
}

}  // namespace ringlens
