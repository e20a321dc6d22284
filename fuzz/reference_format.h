// What ringlens must write for a file, worked out the slow and literal
// way: the window scan of tests/support/reference_scan.h, then every
// field read straight from the file's bytes with an explicit bound check,
// a plain linear name search and a ring walk that remembers every
// position it has written. The fuzz target holds the program to it.
//
// It follows the program's decisions about damaged input:
// - trace data files: a record whose fixed fields are cut short writes
//   nothing and ends the run; a text cut short gives the bytes the file
//   holds up to the first NUL; the whole textLength field is consumed;
// - dumps: a block copy holds only bytes the file has (a length field not
//   wholly in the file gives an empty copy); a trace buffer whose
//   textLength field is cut short has an empty text; index entries are
//   those wholly inside the copy; a name offset at or past the end of the
//   trace-method copy gives no name, a name with no NUL runs to its end;
// - the ring: no lines when the copy is shorter than the 40-byte header
//   or the first length is not wholly inside it; a record is written only
//   when its fields (12 bytes for kind 4, else 16) lie inside the copy;
//   the walk ends at stop, at a record that fails that, and at a position
//   it has already written.
#pragma once

#include <string_view>

#include "dump_trace/dump_blocks.h"
#include "output.h"

namespace ringlens::fuzzing {

// Writes what the program must write for `file` to `sink` and returns the
// run status it must end with.
int referenceFormat(std::string_view file, OutputSink& sink);

// The literal window scan of the dump scan.
BlockLocations referenceBlockLocations(std::string_view file);

}  // namespace ringlens::fuzzing
