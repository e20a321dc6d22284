// The few places where the operating systems differ: opening the input,
// writing the standard streams, and converting time to local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>

#include "input_file.h"

namespace ringlens {

// Opens the named input for reading only: a regular file or a block device
// (read at offsets), a FIFO (waiting for its writer), or a pipe or socket
// named by a descriptor the process holds (/dev/stdin, /dev/fd/N), read as
// a stream. Returns null for a name that cannot be opened or is something
// else (a directory, a terminal or another character device), which is
// found out before anything is opened.
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
