// In-process helpers: formatting bytes as the program formats a file, and
// holding the time zone fixed while a test runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "input_file.h"
#include "output.h"
#include "run.h"
#include "support/capture_sink.h"

namespace ringlens::testing {

struct Formatted {
  int status = -1;
  std::string out, err;
  std::vector<CaptureSink::Write> writes;  // every hand-over, in order
};

// Bytes held in memory, delivered as a pipe delivers them: front to back,
// in pieces of random size.
class TrickleStream : public StreamSource {
 public:
  TrickleStream(const std::string& bytes, uint32_t seed, size_t largestPiece = 70000)
      : bytes_(bytes), rng_(seed), largest_(largestPiece) {}
  uint64_t delivered() const { return at_; }

 protected:
  size_t readSome(std::span<uint8_t> dst) override {
    size_t n = std::min({dst.size(), bytes_.size() - at_, 1 + rng_() % largest_});
    std::copy_n(bytes_.data() + at_, n, dst.data());
    at_ += n;
    return n;
  }

 private:
  const std::string& bytes_;
  std::mt19937 rng_;
  size_t largest_;
  size_t at_ = 0;
};

// The bytes of a file whose size at open was `sizeAtOpen`: it grew since,
// or (0) reported no size at all.
class GrownSource final : public ByteSource {
 public:
  GrownSource(ByteView bytes, uint64_t sizeAtOpen) : bytes_(bytes), sizeAtOpen_(sizeAtOpen) {}
  size_t readAt(uint64_t offset, std::span<uint8_t> dst) override { return bytes_.readAt(offset, dst); }
  uint64_t size() const override { return sizeAtOpen_; }

 private:
  MemorySource bytes_;
  uint64_t sizeAtOpen_;
};

// Formats what the source holds as the program formats its input.
inline Formatted formatSource(ByteSource& source) {
  CaptureSink sink;
  Formatted f;
  {
    TraceOutput out(sink);
    f.status = formatInput(source, out);
  }
  f.out = sink.out;
  f.err = sink.err;
  f.writes = sink.writes;
  return f;
}

// Formats the bytes as the program formats a file, in memory.
inline Formatted format(const std::string& file) {
  MemorySource source(ByteView(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  return formatSource(source);
}

// Sets TZ for the object's lifetime and puts back what was there.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace ringlens::testing
