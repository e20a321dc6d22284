// The few places where the operating systems differ: opening the input,
// writing the standard streams, and converting time to local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>

#include "input_file.h"

namespace ringlens {

// Opens the named file for reading only. Returns null when it cannot be
// opened or is not something that can be read as a file (a directory).
std::unique_ptr<ByteSource> openInputFile(const char* name);

// Sets the process up for a run: the local time zone is read once, a
// closed output pipe makes writes fail instead of ending the process, and
// what standard output is (a regular file or not) is noted.
void initPlatform();

// How a write to standard output ended.
enum class StreamWrite {
  WRITTEN,  // every byte was written
  CLOSED,   // the reader closed the pipe: nobody takes the text any more
  FAILED,   // any other failure (a full disk, a closed descriptor, ...)
};

// Writes all bytes to standard output. A stream that cannot take them yet
// (non-blocking, and full) is waited for; no byte is dropped.
StreamWrite writeStandardOutput(std::string_view bytes);
// Writes all bytes to standard error; false on failure.
bool writeStandardError(std::string_view bytes);

// True when standard output was a regular file at initPlatform: nobody
// reads it line by line while the run goes on.
bool standardOutputIsFile();

// Converts seconds since 1970-01-01 00:00:00 UTC to local calendar time;
// false where the platform has no conversion for the value.
bool toLocalTime(int64_t seconds, std::tm& local);

}  // namespace ringlens
