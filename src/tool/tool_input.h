// Opening the tool's input: a named file, or standard input for "-". A
// regular file (or block device) is read where it lies; standard input
// that is a pipe or a terminal is first copied to an unnamed temporary
// file, as the readers read at absolute offsets.
#pragma once

#include <memory>
#include <string>

#include "input_file.h"
#include "tool/extract_writer.h"

namespace ringlens::tool {

struct ToolInput {
  std::unique_ptr<ByteSource> source;  // null when it could not be opened
  std::string problem;                 // then: the reason, e.g. "No such file or directory"
  FileIdentity identity;
};

ToolInput openToolInput(const std::string& name);

// How the tool names an input in its messages: 'NAME', or standard input.
std::string inputLabel(const std::string& name);

}  // namespace ringlens::tool
