#include "tool/utf8_text.h"

namespace ringlens::tool {

size_t utf8SequenceLength(const unsigned char* text, size_t available, bool& needMore) {
  needMore = false;
  unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char secondLow = 0x80, secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;   // no overlong forms
    if (lead == 0xED) secondHigh = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;   // no overlong forms
    if (lead == 0xF4) secondHigh = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;  // a continuation byte, C0, C1 or F5 to FF
  }
  for (size_t k = 1; k < length; ++k) {
    if (k >= available) {
      needMore = true;
      return 0;
    }
    unsigned char low = k == 1 ? secondLow : 0x80, high = k == 1 ? secondHigh : 0xBF;
    if (text[k] < low || text[k] > high) return 0;
  }
  return length;
}

std::string cleanUtf8(std::string_view text, bool* invalid) {
  std::string clean;
  clean.reserve(text.size());
  Utf8Cleaner cleaner;
  auto emit = [&](std::string_view part) { clean += part; };
  cleaner.feed(text, emit);
  cleaner.finish(emit);
  if (invalid) *invalid = cleaner.invalid();
  return clean;
}

void appendHex(std::string& to, std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    to += DIGITS[b >> 4];
    to += DIGITS[b & 15];
  }
}

}  // namespace ringlens::tool
