// Helpers for the ringlens-tool tests: capturing what a writer writes, and
// reading it back with Python's json and csv modules.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "output.h"
#include "support/capture_sink.h"
#include "support/program_runner.h"
#include "tool/tool_output.h"

namespace ringlens::tool {
using ringlens::testing::CaptureSink;
}  // namespace ringlens::tool

namespace ringlens::tool::testing {

// Standard output that fails every write.
class FailingSink : public OutputSink {
 public:
  bool writeOut(std::string_view) override { return false; }
  bool writeErr(std::string_view bytes) override {
    err.append(bytes);
    return true;
  }
  std::string err;
};

struct PythonResult {
  int status = -1;
  std::string out, err;
};

// Runs render_export.py MODE on `content` written to a file: the text
// lines it renders from the records, or its complaint.
inline PythonResult renderWithPython(const std::string& mode, const std::string& content) {
  ringlens::testing::TempDir dir;
  std::string file = dir.write("export", content);
  auto r = ringlens::testing::runCommandIn("", {RINGLENS_PYTHON, RINGLENS_RENDER_SCRIPT, mode, file}, {});
  return {r.status, r.out, r.err};
}

inline bool havePython() { return std::string(RINGLENS_PYTHON) != ""; }

}  // namespace ringlens::tool::testing
