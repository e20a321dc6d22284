// The readers ringlens-tool drives, and the one place where they are tied
// in. Each command hands the readers a RecordConsumer (an exporter, the
// inspect tally, or nothing for an extract) and gets back what ringlens
// would end with.
#pragma once

#include <functional>

#include "input_file.h"
#include "tool/inspect_report.h"
#include "tool/progress.h"
#include "trace_records.h"

namespace ringlens::tool {

struct ToolReaders {
  // A trace data file whose signature has been checked: hands on every
  // record from offset 18 on, in file order, and says how the records
  // ended. ringlens ends such a run with STATUS_OK.
  std::function<FileTraceSummary(ByteSource& file, RecordConsumer& consumer)> readFileTrace;

  // A dump, as ringlens formats it: the scan (every occurrence reported to
  // `scan` as well, when given, and every byte it reads, for the progress
  // bar), the trace buffers, the blocks and the ring, with every buffer
  // and record handed to `consumer` in ringlens's order; `facts` filled
  // with what was found, including the ranges an extract keeps. Returns
  // ringlens's status: STATUS_OK or the status of the first missing block.
  std::function<int(ByteSource& file, RecordConsumer& consumer, ScanObserver* scan, DumpFacts& facts)> readDump;
};

// The readers of this build; one that is not there is left empty, and a
// command that needs it says so.
ToolReaders builtInReaders();

// A trace data file when the first 18 bytes are its signature, else a dump.
InputShape detectShape(ByteSource& file);

// Hands everything on to `next` and moves the bar on by each record's offset.
class ProgressConsumer : public RecordConsumer {
 public:
  ProgressConsumer(RecordConsumer& next, ProgressBar& bar, uint64_t total) : next_(next), bar_(bar), total_(total) {}
  bool record(const TraceRecord& record) override {
    bar_.update(record.offset, total_);
    return next_.record(record);
  }
  bool buffer(const TraceBufferText& buffer) override { return next_.buffer(buffer); }
  bool moreText(std::string_view piece) override { return next_.moreText(piece); }
  bool recordDone() override { return next_.recordDone(); }

 private:
  RecordConsumer& next_;
  ProgressBar& bar_;
  uint64_t total_;
};

// Moves the bar on as the scan reads the dump.
class ProgressScanObserver : public ScanObserver {
 public:
  ProgressScanObserver(ProgressBar& bar, uint64_t total) : bar_(bar), total_(total) {}
  void occurrence(const SignatureOccurrence&) override {}
  void bytes(uint64_t offset, std::string_view data) override { bar_.update(offset + data.size(), total_); }

 private:
  ProgressBar& bar_;
  uint64_t total_;
};

// Takes every record and keeps nothing (an extract needs only the facts).
class DiscardingConsumer : public RecordConsumer {
 public:
  bool record(const TraceRecord&) override { return true; }
};

}  // namespace ringlens::tool
