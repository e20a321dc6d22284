#include "tool/commands.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <sstream>

#include "ringlens.h"
#include "tool/exporters.h"
#include "tool/extract_writer.h"
#include "tool/inspect_report.h"
#include "tool/tool_input.h"

#ifndef RINGLENS_VERSION
#define RINGLENS_VERSION "unknown"
#endif

namespace ringlens::tool {

namespace {

constexpr std::string_view PROGRAM = "ringlens-tool";

void fail(ToolContext& context, const std::string& text) { context.out.message(std::string(PROGRAM) + ": " + text); }

int unavailable(ToolContext& context, const std::string& file, InputShape shape) {
  fail(context, inputLabel(file) + ": reading " +
                    (shape == InputShape::FILE_TRACE ? "trace data files" : "dumps") +
                    " is not part of this build");
  return TOOL_STATUS_UNAVAILABLE;
}

// The input opened, or the message and status when it cannot be.
struct Opened {
  ToolInput input;
  InputShape shape = InputShape::DUMP;
};

std::optional<Opened> open(ToolContext& context, const std::string& file) {
  Opened opened{openToolInput(file)};
  if (!opened.input.source) {
    fail(context, (file == "-" ? std::string("cannot read standard input: ") : "cannot open " + inputLabel(file) + ": ") +
                      opened.input.problem);
    return std::nullopt;
  }
  opened.shape = detectShape(*opened.input.source);
  return opened;
}

bool readerMissing(ToolContext& context, InputShape shape) {
  return shape == InputShape::FILE_TRACE ? !context.readers.readFileTrace : !context.readers.readDump;
}

}  // namespace

int inspectCommand(ToolContext& context, const std::string& file, bool json) {
  auto opened = open(context, file);
  if (!opened) return STATUS_OPEN_FAILED;
  if (readerMissing(context, opened->shape)) return unavailable(context, file, opened->shape);
  ByteSource& source = *opened->input.source;
  auto bar = context.progress();
  RecordTally tally;
  ProgressConsumer consumer(tally, *bar, source.size());
  InspectReport report;
  report.shape = opened->shape;
  report.fileSize = source.size();
  report.tally = &tally;
  DumpFacts facts;
  if (opened->shape == InputShape::FILE_TRACE) {
    report.fileEnd = context.readers.readFileTrace(source, consumer);
    report.status = STATUS_OK;
  } else {
    ProgressScanObserver scan(*bar, source.size());
    report.status = context.readers.readDump(source, consumer, &scan, facts);
    report.dump = &facts;
  }
  bar->finish();
  if (json) {
    writeInspectJson(report, context.out);
  } else {
    writeInspectText(report, context.out);
  }
  if (!context.out.flush()) {
    fail(context, std::string(TOOL_MSG_OUTPUT_FAILED));
    return TOOL_STATUS_OUTPUT_FAILED;
  }
  return STATUS_OK;
}

int exportCommand(ToolContext& context, const std::string& file, ExportFormat format) {
  auto opened = open(context, file);
  if (!opened) return STATUS_OPEN_FAILED;
  if (readerMissing(context, opened->shape)) return unavailable(context, file, opened->shape);
  ByteSource& source = *opened->input.source;
  auto bar = context.progress();
  std::unique_ptr<RecordExporter> exporter;
  if (format == ExportFormat::CSV) {
    exporter = std::make_unique<CsvExporter>(context.out);
  } else {
    exporter = std::make_unique<JsonLinesExporter>(context.out);
  }
  ProgressConsumer consumer(*exporter, *bar, source.size());
  int status = STATUS_OK;
  if (opened->shape == InputShape::FILE_TRACE) {
    context.readers.readFileTrace(source, consumer);
  } else {
    ProgressScanObserver scan(*bar, source.size());
    DumpFacts facts;
    status = context.readers.readDump(source, consumer, &scan, facts);
  }
  bool written = exporter->finish();
  bar->finish();
  if (!exporter->problem().empty()) {
    fail(context, exporter->problem());
    return TOOL_STATUS_OUTPUT_FAILED;
  }
  if (!written) {
    fail(context, std::string(TOOL_MSG_OUTPUT_FAILED));
    return TOOL_STATUS_OUTPUT_FAILED;
  }
  if (std::string_view message = statusMessage(status); !message.empty()) {
    fail(context, inputLabel(file) + ": " + std::string(message));
  }
  return status;
}

int extractCommand(ToolContext& context, const std::string& dump, const std::string& outPath, bool replace) {
  auto opened = open(context, dump);
  if (!opened) return STATUS_OPEN_FAILED;
  // Refused before the input is read; writeExtract looks again when it
  // puts the file in place.
  struct stat existing;
  if (!replace && lstat(outPath.c_str(), &existing) == 0) {
    fail(context, "'" + outPath + "' exists; --force replaces it");
    return TOOL_STATUS_OUTPUT_FAILED;
  }
  if (readerMissing(context, opened->shape)) return unavailable(context, dump, opened->shape);
  ByteSource& source = *opened->input.source;
  auto bar = context.progress();
  DiscardingConsumer nothing;
  ExtractPlan plan;
  if (opened->shape == InputShape::FILE_TRACE) {
    ProgressConsumer consumer(nothing, *bar, source.size());
    plan = planFileTraceExtract(context.readers.readFileTrace(source, consumer), source.size());
  } else {
    ProgressScanObserver scan(*bar, source.size());
    DumpFacts facts;
    context.readers.readDump(source, nothing, &scan, facts);
    plan = planContainerExtract(facts.keep, source, facts.map);
  }
  bar->finish();
  auto writeBar = context.progress();
  ExtractResult result = writeExtract(source, plan, outPath, replace, opened->input.identity, writeBar.get());
  writeBar->finish();
  if (!result.written) {
    fail(context, result.problem);
    return TOOL_STATUS_OUTPUT_FAILED;
  }
  return STATUS_OK;
}

int runTool(int argc, const char* const* argv, ToolContext& context) {
  CLI::App app{"Inspect a trace data file or a dump, extract the trace from a dump, export its records.",
               std::string(PROGRAM)};
  app.set_version_flag("--version", std::string(PROGRAM) + " " + RINGLENS_VERSION);
  app.require_subcommand(1);
  app.footer("FILE may be - for standard input. Exit statuses as ringlens's: 0, 99 usage, 100 input not opened,\n"
             "101-103 a dump block missing, 104 output not written.");

  std::string file, outPath, format = "jsonl";
  bool json = false, force = false;

  CLI::App* inspect = app.add_subcommand("inspect", "Report what the input holds and how ringlens reads it.");
  inspect->add_flag("--json", json, "Write the report as one JSON document.");
  inspect->add_option("FILE", file, "A trace data file or a dump.")->required();

  CLI::App* extract = app.add_subcommand("extract", "Write a small file that ringlens formats as it formats DUMP.");
  extract->add_flag("--force", force, "Replace OUT if it exists.");
  extract->add_option("DUMP", file, "A dump or a trace data file.")->required();
  extract->add_option("OUT", outPath, "The file to write.")->required();

  CLI::App* exportRecords = app.add_subcommand("export", "Write every record, one per line, as JSON Lines or CSV.");
  exportRecords->add_option("--format", format, "jsonl (the default) or csv.")
      ->check(CLI::IsMember({"jsonl", "csv"}));
  exportRecords->add_option("FILE", file, "A trace data file or a dump.")->required();

  // A first word that is no command: named as such, not as a missing one.
  std::string_view first = argc >= 2 ? argv[1] : "";
  if (!first.empty() && first[0] != '-' && first != "inspect" && first != "extract" && first != "export") {
    fail(context, "unknown command '" + std::string(argv[1]) + "' (inspect, extract or export)");
    context.out.message("Run 'ringlens-tool --help' for more information.");
    return STATUS_USAGE;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    int code = app.exit(e, out, err);
    if (code == 0) {  // --help or --version
      context.out.write(out.str());
      return context.out.flush() ? STATUS_OK : TOOL_STATUS_OUTPUT_FAILED;
    }
    fail(context, std::string(e.what()));
    context.out.message("Run 'ringlens-tool --help' for more information.");
    return STATUS_USAGE;
  }

  if (inspect->parsed()) return inspectCommand(context, file, json);
  if (extract->parsed()) return extractCommand(context, file, outPath, force);
  return exportCommand(context, file, format == "csv" ? ExportFormat::CSV : ExportFormat::JSON_LINES);
}

}  // namespace ringlens::tool
