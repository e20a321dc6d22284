// A test double for the program's output streams: keeps everything
// written, in order, in memory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "output.h"

namespace ringlens::testing {

class CaptureSink final : public OutputSink {
 public:
  struct Write {
    bool toErr;
    std::string bytes;
  };
  bool writeOut(std::string_view bytes) override {
    out.append(bytes);
    writes.push_back({false, std::string(bytes)});
    return true;
  }
  bool writeErr(std::string_view bytes) override {
    err.append(bytes);
    writes.push_back({true, std::string(bytes)});
    return true;
  }
  bool liveReader() const override { return live; }

  std::string out, err;
  std::vector<Write> writes;  // every hand-over, in order
  bool live = true;           // false: captured as a regular file would be
};

}  // namespace ringlens::testing
