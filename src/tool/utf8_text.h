// Trace texts and method names are bytes; JSON and CSV want UTF-8. Bytes
// that are well-formed UTF-8 pass unchanged; every byte that does not
// belong to a well-formed sequence becomes U+FFFD on its own (a sequence
// cut short, an overlong form, a surrogate or a value past U+10FFFF gives
// one U+FFFD for each of its bytes), so the count of replacements is the
// count of bad bytes. Texts may arrive in pieces: a sequence split
// between two pieces is held until the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ringlens::tool {

inline constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

// Checks the sequence that starts at text[0], of which `available` bytes
// are at hand: returns its length when it is well-formed, 0 when text[0]
// does not start a well-formed sequence, and sets `needMore` (returning 0)
// when the bytes at hand are a well-formed beginning that lacks bytes.
size_t utf8SequenceLength(const unsigned char* text, size_t available, bool& needMore);

class Utf8Cleaner {
 public:
  // Hands on the piece as well-formed UTF-8 through emit(std::string_view),
  // in one or more calls.
  template <class Emit>
  void feed(std::string_view piece, Emit&& emit) {
    auto bytes = reinterpret_cast<const unsigned char*>(piece.data());
    size_t size = piece.size(), i = 0;
    // First complete a sequence left over from the last piece.
    while (pendingSize_ > 0 && i < size) {
      pending_[pendingSize_++] = bytes[i++];
      bool needMore = false;
      size_t n = utf8SequenceLength(pending_, pendingSize_, needMore);
      if (needMore) continue;
      if (n > 0) {
        emit(std::string_view(reinterpret_cast<const char*>(pending_), n));
      } else {
        // The lead byte and the continuation bytes held with it are bad
        // one by one; the byte just added is looked at afresh.
        for (size_t k = 0; k + 1 < pendingSize_; ++k) emit(REPLACEMENT_CHARACTER);
        invalid_ = true;
        --i;
      }
      pendingSize_ = 0;
    }
    size_t run = i;  // start of the well-formed bytes not yet handed on
    while (i < size) {
      if (bytes[i] < 0x80) {
        ++i;
        continue;
      }
      bool needMore = false;
      size_t n = utf8SequenceLength(bytes + i, size - i, needMore);
      if (n > 0) {
        i += n;
        continue;
      }
      if (i > run) emit(piece.substr(run, i - run));
      if (needMore) {
        for (; i < size; ++i) pending_[pendingSize_++] = bytes[i];
        run = size;
        break;
      }
      emit(REPLACEMENT_CHARACTER);
      invalid_ = true;
      run = ++i;
    }
    if (size > run) emit(piece.substr(run));
  }

  // Ends the text: bytes still held are a sequence cut short.
  template <class Emit>
  void finish(Emit&& emit) {
    for (size_t k = 0; k < pendingSize_; ++k) emit(REPLACEMENT_CHARACTER);
    if (pendingSize_ > 0) invalid_ = true;
    pendingSize_ = 0;
  }

  // True when a byte of the text so far was replaced.
  bool invalid() const { return invalid_; }
  void reset() {
    pendingSize_ = 0;
    invalid_ = false;
  }

 private:
  unsigned char pending_[4] = {};
  size_t pendingSize_ = 0;
  bool invalid_ = false;
};

// The text as well-formed UTF-8, with U+FFFD for each bad byte.
std::string cleanUtf8(std::string_view text, bool* invalid = nullptr);

// Appends the bytes as lowercase hexadecimal, two digits a byte.
void appendHex(std::string& to, std::string_view bytes);

}  // namespace ringlens::tool
