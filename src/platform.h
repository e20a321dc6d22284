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

// Sets the process up for a run: the local time zone is read once, and a
// closed output pipe makes writes fail instead of ending the process.
void initPlatform();

// Writes all bytes to standard output / standard error; false on failure.
bool writeStandardOutput(std::string_view bytes);
bool writeStandardError(std::string_view bytes);

// Converts seconds since 1970-01-01 00:00:00 UTC to local calendar time;
// false where the platform has no conversion for the value.
bool toLocalTime(int64_t seconds, std::tm& local);

}  // namespace ringlens
