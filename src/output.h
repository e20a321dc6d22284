// The two output streams and the forms of every line the program writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ringlens {

// Where text finally goes. The program hands bytes to the process's
// standard output and standard error; tests and the fuzzer capture them.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Each returns false when the bytes could not be written.
  virtual bool writeOut(std::string_view bytes) = 0;
  virtual bool writeErr(std::string_view bytes) = 0;
  // After writeOut has returned false: true when the reader closed the
  // stream (a pipe whose reader quit), which is the reader's choice and no
  // failure of the run.
  virtual bool readerClosed() const { return false; }
  // True when someone may read standard output as it is made (a terminal,
  // a pipe, a socket): every line is then handed over as it ends. False
  // for a regular file, which is handed over in full buffers.
  virtual bool liveReader() const { return true; }
};

class StandardStreams final : public OutputSink {
 public:
  bool writeOut(std::string_view bytes) override;
  bool writeErr(std::string_view bytes) override;
  bool readerClosed() const override { return readerClosed_; }
  bool liveReader() const override;

 private:
  bool readerClosed_ = false;
};

// Writes 24 characters of local time, "Www Mmm DD hh:mm:ss YYYY", for
// seconds since 1970-01-01 00:00:00 UTC.
void formatTimeText(int32_t time, char (&text)[24]);

// The most characters a number takes: "-2147483648".
inline constexpr size_t NUMBER_TEXT_SIZE = 11;

// Writes a signed decimal number into `text`, which has room for
// NUMBER_TEXT_SIZE characters; returns the characters used.
size_t formatNumber(int32_t number, char* text);

// The output of one run. Standard output is buffered and handed over when
// the buffer fills, before anything goes to standard error, and at the end
// (flush); where a live reader may wait for it (see
// OutputSink::liveReader) also at every end of line, a line that fits the
// buffer in one piece. A regular file gets full buffers only.
//
// A stream whose write fails takes no further text for the rest of the
// run. For standard output that is either the reader's choice (a closed
// pipe) or lost output, a failure of the run (failed()): the formatters
// stop as soon as outputOpen() turns false, and finish() gives the run's
// status.
class TraceOutput {
 public:
  static constexpr size_t BUFFER_SIZE = 64 * 1024;

  explicit TraceOutput(OutputSink& sink);
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // "----*", the time text, "*----", end of line.
  void writeTimeLine(int32_t time);
  // [number and a space,] mark, text, end of line.
  void writeEventLine(bool hasNumber, int32_t number, char mark, std::string_view text);

  // The same event line in pieces, for texts read a piece at a time:
  // beginEventLine, any number of writeText, endLine.
  void beginEventLine(bool hasNumber, int32_t number, char mark);
  // Bytes as they are, with no end of line.
  void writeText(std::string_view bytes);
  void endLine();

  // The text and an end of line on standard error, after pending standard
  // output has been handed over. Once standard output has failed, the run
  // ends with that failure alone, and nothing more is written.
  void writeMessage(std::string_view text);

  void flush();

  // False once standard output takes no more text: its reader closed it,
  // or a write failed. Nothing that only makes output need go on.
  bool outputOpen() const { return outOpen_; }
  // True once a write to standard output failed other than by its reader
  // closing it: the trace is not all there.
  bool failed() const { return outFailed_; }

  // Ends the run: hands over what is pending and returns `status`, or, when
  // standard output failed, writes "Unable to write trace output." to
  // standard error and returns STATUS_OUTPUT_FAILED.
  int finish(int status);

 private:
  void handOver(std::string_view bytes);
  void writeLineEnd();

  OutputSink& sink_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  bool lineByLine_ = true;  // a live reader: hand over at every end of line
  bool outOpen_ = true;
  bool outFailed_ = false;
  bool errFailed_ = false;
  int32_t cachedTime_ = 0;
  bool timeCached_ = false;
  char cachedTimeText_[24];
};

}  // namespace ringlens
