// What the readers of both input shapes hand on: decoded trace records,
// trace-buffer texts, signature occurrences, and why a reader ended. The
// text lines of the format are one consumer of these; reports and exports
// are others.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ringlens {

// One trace record, decoded once, with the line shape the format gives it.
struct TraceRecord {
  uint32_t kind = 0;      // the TraceKind code as stored, listed or not
  uint64_t offset = 0;    // file offset of the record's first byte
  int32_t number = 0;     // the number; the time stamp for kind 4
  bool isTime = false;    // kind 4: a time line from `number`
  bool hasNumber = false; // the event line shows `number`
  char mark = ' ';        // '>', '<' or ' '
  // Ring records of entry- and exit-like kinds carry a method id and the
  // name it resolved to (none when the id has no name).
  bool hasMethodId = false;
  uint32_t methodId = 0;
  std::optional<std::string_view> name;
  // Records with a text: the text up to its first NUL. A trace data file's
  // text longer than one read arrives in pieces: `text` is the first, and
  // textContinues says that more follow through RecordConsumer::moreText.
  std::string_view text;
  bool textContinues = false;
};

// A trace buffer's text as the dump holds it, up to its first NUL.
struct TraceBufferText {
  uint32_t number = 0;
  uint64_t offset = 0;  // file offset of the buffer's signature
  std::string_view text;
  bool textContinues = false;  // more follows through moreText
};

// Receives records in the order the format writes them. Every call returns
// false when the consumer wants nothing more (its output is gone); the
// reader then stops at once.
class RecordConsumer {
 public:
  virtual ~RecordConsumer() = default;
  virtual bool record(const TraceRecord& record) = 0;
  virtual bool buffer(const TraceBufferText& buffer) {
    (void)buffer;
    return true;
  }
  // The next piece of the text of the record or buffer last handed on.
  virtual bool moreText(std::string_view piece) {
    (void)piece;
    return true;
  }
  // Ends the record or buffer last handed on, after its text pieces.
  virtual bool recordDone() { return true; }
};

// Why the records of a trace data file ended.
enum class FileTraceEnd {
  END_RECORD,   // a record of kind 0 at `offset`; bytes may follow it
  END_OF_FILE,  // the end of the file where a kind was to be read
  CUT_SHORT,    // a record at `offset` cut short, `missingBytes` missing
  STOPPED,      // the consumer wanted no more
};

struct FileTraceSummary {
  FileTraceEnd end = FileTraceEnd::END_OF_FILE;
  uint64_t offset = 0;        // where the end was met
  uint64_t missingBytes = 0;  // CUT_SHORT: bytes the record lacks
  uint64_t records = 0;       // records handed on
};

// Why the walk of a memory ring ended.
enum class RingEnd {
  EMPTY,              // the first record's length is 0 (or no such field)
  SHORT_HEADER,       // the copy holds fewer than 40 bytes
  RECORD_OUTSIDE,     // a record not wholly inside the copy
  REPEATED_POSITION,  // a position already written came round again
  REACHED_NEXT,       // nextRecord reached: the ring's end
  STOPPED,            // the consumer wanted no more
};

struct RingSummary {
  RingEnd end = RingEnd::EMPTY;
  uint64_t records = 0;   // records handed on
  uint64_t wraps = 0;     // times the walk went back to the ring's start
  uint32_t position = 0;  // block offset where the walk ended
};

// The four signatures a dump scan looks for.
enum class Signature { MEMORY_TRACE, TRACE_INDEX, TRACE_METHOD, TRACE_BUFFER };

struct SignatureOccurrence {
  Signature signature = Signature::MEMORY_TRACE;
  uint32_t bufferNumber = 0;  // TRACE_BUFFER: the number after the prefix
  uint64_t offset = 0;        // file offset of the signature's first byte
};

// Receives every occurrence the scan finds, in increasing order of offset,
// and every byte it reads: bytes(offset, view) hands on each byte of the
// input once, in order, and every occurrence is reported before the byte
// it starts at is handed on.
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  virtual void occurrence(const SignatureOccurrence& found) = 0;
  virtual void bytes(uint64_t offset, std::string_view data) {
    (void)offset;
    (void)data;
  }
};

}  // namespace ringlens
