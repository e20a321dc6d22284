// ringlens-tool's output: standard output buffered in large pieces (the
// tool's output is meant for programs and files, not read line by line as
// it comes), and messages on standard error, each after pending standard
// output has been handed over.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "output.h"

namespace ringlens::tool {

class ToolOutput {
 public:
  static constexpr size_t BUFFER_SIZE = 64 * 1024;

  explicit ToolOutput(OutputSink& sink);
  ~ToolOutput();
  ToolOutput(const ToolOutput&) = delete;
  ToolOutput& operator=(const ToolOutput&) = delete;

  void write(std::string_view bytes) {
    if (bytes.size() <= BUFFER_SIZE - used_) {
      if (!bytes.empty()) std::char_traits<char>::copy(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
    } else {
      writeLong(bytes);
    }
  }
  void put(char c) {
    if (used_ == BUFFER_SIZE) handOver();
    buffer_[used_++] = c;
  }

  // Hands the buffered bytes to standard output; false once a write to it
  // has failed (it then takes no more).
  bool flush();
  // False once standard output has failed.
  bool ok() const { return !outFailed_; }

  // One line on standard error.
  void message(std::string_view text);

 private:
  void writeLong(std::string_view bytes);
  void handOver();

  OutputSink& sink_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  bool outFailed_ = false;
};

}  // namespace ringlens::tool
