// In-process helpers: formatting bytes as the program formats a file, and
// holding the time zone fixed while a test runs.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
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
