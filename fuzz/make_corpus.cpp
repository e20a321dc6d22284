// Writes the fuzzing seed corpus: well-formed trace data files and dumps of
// every shape and a few damaged ones, made with the test builders.
//
//   make_fuzz_corpus DIR           one file per seed, in the fuzz target's
//                                  input form (selector byte, then bytes)
//   make_fuzz_corpus DIR --plain   the same seeds as the program reads them
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/container_builder.h"
#include "support/trace_builder.h"

namespace {

using namespace ringlens::testing;

constexpr std::string_view SIGNATURE = "****FILE_TRACE****";

struct Seed {
  std::string name;
  std::string bytes;  // the file as the program reads it
};

std::vector<Seed> traceFileSeeds() {
  std::vector<Seed> seeds;
  std::string everyKind = FileTraceBuilder()
                              .time(1700000000)
                              .entry(3, "Open")
                              .text(12, "reading header")
                              .bareText(99, "no number here")
                              .exit(-1, "Open")
                              .record(9, 7, cstr("unlisted kind"))
                              .time(-86400)
                              .end()
                              .str();
  seeds.push_back({"trace-every-kind", everyKind});
  seeds.push_back({"trace-signature-only", FileTraceBuilder().str()});
  seeds.push_back({"trace-end-then-more", FileTraceBuilder().end().entry(1, "After").str()});
  seeds.push_back({"trace-no-end", FileTraceBuilder().entry(1, "Run").exit(1, "Run").str()});
  seeds.push_back({"trace-text-without-nul", FileTraceBuilder().record(3, 4, "no terminator").str()});
  seeds.push_back({"trace-long-text", FileTraceBuilder().text(5, std::string(5000, 'x')).entry(6, "Next").str()});
  seeds.push_back({"trace-nul-inside-field", FileTraceBuilder().record(1, 2, std::string("Name\0junk", 9)).end().str()});
  seeds.push_back({"trace-hostile-length",
                   FileTraceBuilder().entry(1, "First").recordWithLength(3, 2, 0xFFFFFFF0u, "short").str()});
  // Cut short inside each part of a record.
  std::string cut = FileTraceBuilder().entry(3, "Open").time(1000).text(1, "tail").str();
  for (size_t keep : {SIGNATURE.size() + 2, SIGNATURE.size() + 6, SIGNATURE.size() + 12 + 2, cut.size() - 6,
                      cut.size() - 3}) {
    seeds.push_back({"trace-cut-" + std::to_string(keep), cut.substr(0, keep)});
  }
  return seeds;
}

// A method table, a never-wrapped ring and two buffers: a dump with
// every block.
struct DumpParts {
  MethodTableBuilder methods;
  MemoryTraceBuilder ring{0x10000000, 400};
};

DumpParts wellFormedParts() {
  DumpParts parts;
  parts.methods.add(1, "Open").add(2, "Read").add(7, "Close").add(2, "Duplicate");
  parts.ring.time(1700000000)
      .entry(1, 1)
      .entry(2, 2)
      .text(3, 12, "read 40 bytes")
      .exit(2, 2)
      .text(5, 0, "bare")
      .method(0, 4, 7)
      .method(6, 5, 99)
      .exit(1, 1);
  parts.ring.next(parts.ring.cursor());
  return parts;
}

std::string dumpWith(const std::string& ring, const MethodTableBuilder& methods, bool withIndex = true,
                     bool withMethod = true) {
  DumpBuilder dump(64);
  dump.append(traceBufferBlock('4', "buffer four\n"));
  dump.append(traceBufferBlock('6', "buffer six, no newline"));
  dump.append(traceBufferBlock('2', "never written\n"));
  dump.append(traceBufferBlock('x', "a letter counts as 0\n"));
  dump.append(std::string(16, '.'));
  if (!ring.empty()) dump.append(ring);
  if (withIndex) dump.append(methods.indexBlock());
  if (withMethod) dump.append(methods.methodBlock());
  dump.append(std::string(8, '.'));
  return dump.str();
}

std::vector<Seed> dumpSeeds() {
  std::vector<Seed> seeds;
  DumpParts parts = wellFormedParts();
  std::string whole = dumpWith(parts.ring.build(), parts.methods);
  seeds.push_back({"dump-never-wrapped", whole});
  seeds.push_back({"dump-no-memory-trace", dumpWith("", parts.methods)});
  seeds.push_back({"dump-no-index", dumpWith(parts.ring.build(), parts.methods, false)});
  seeds.push_back({"dump-no-method", dumpWith(parts.ring.build(), parts.methods, true, false)});

  // A wrapped ring: the oldest record lies after the newest.
  {
    MemoryTraceBuilder ring(0x2000, 200);
    ring.wrapReserve(60).entry(10, 1).exit(11, 1).at(104).entry(7, 2).exit(8, 2).time(3600);
    ring.oldest(104).next(72);
    seeds.push_back({"dump-wrapped", dumpWith(ring.build(), parts.methods)});
  }
  // A full ring: oldest and next are the same record.
  {
    MemoryTraceBuilder ring(0xFFFFFF00, 128);
    ring.wrapReserve(20).entry(1, 1).entry(2, 7).exit(3, 7).text(3, 4, "full");
    ring.oldest(72).next(72);
    seeds.push_back({"dump-full-ring", dumpWith(ring.build(), parts.methods)});
  }
  // An empty ring, and one whose writer wrapped just before the dump.
  {
    MemoryTraceBuilder empty(0x4000, 120);
    seeds.push_back({"dump-empty-ring", dumpWith(empty.build(), parts.methods)});
    MemoryTraceBuilder justWrapped(0x4000, 100);
    justWrapped.wrapReserve(20).entry(1, 1).exit(2, 1).time(0);
    seeds.push_back({"dump-just-wrapped", dumpWith(justWrapped.oldest(40).next(40).build(), parts.methods)});
  }
  // Signatures across the end of the first 4096-byte read and at the end
  // of the file.
  {
    DumpBuilder dump(8192);
    dump.place(4096 - 16, parts.methods.indexBlock());
    dump.place(5000, parts.ring.build());
    dump.place(100, traceBufferBlock('5', "five\n"));
    std::string method = parts.methods.methodBlock();
    dump.place(8192 - method.size(), method);
    seeds.push_back({"dump-window-edges", dump.str()});
  }
  // Damaged: hostile lengths, a zero length after the first record, a ring
  // whose positions never meet stop, names out of range, a short index.
  {
    MemoryTraceBuilder ring(0x8000, 120);
    ring.entry(1, 1).exit(2, 1);
    ring.next(ring.cursor());
    // blockSize far beyond the end of the file.
    std::string block = Bytes().raw(ring.build()).putU32(24, 0xFFFFFFFF).str();
    MethodTableBuilder methods;
    methods.add(1, "Huge");
    seeds.push_back({"dump-hostile-lengths",
                     dumpWith(block, methods).append(methods.methodBlockWithLength(0xFFFFFFF0))});
  }
  {
    MemoryTraceBuilder ring(0, 200);
    ring.entry(1, 1).lay(Bytes().u32(0).u32(1).i32(2).u32(2).str()).exit(3, 1);
    ring.next(180);
    seeds.push_back({"dump-zero-length-mid-walk", dumpWith(ring.build(), parts.methods)});
    MemoryTraceBuilder circle(0, 200);
    circle.wrapReserve(128).entry(1, 1).exit(2, 1).next(36);
    seeds.push_back({"dump-stop-never-met", dumpWith(circle.build(), parts.methods)});
  }
  {
    MethodTableBuilder methods;
    methods.add(1, "Fine").entry(2, 24).entry(3, 5000).entry(4, 0);
    seeds.push_back({"dump-name-offsets", dumpWith(parts.ring.build(), methods)});
    std::string shortIndex = methods.indexBlockWithLength(30);
    DumpBuilder dump(32);
    dump.append(parts.ring.build());
    dump.append(shortIndex.substr(0, 30));
    dump.append(methods.methodBlock());
    seeds.push_back({"dump-short-index", dump.str()});
  }
  // The well-formed dump cut short inside each of its blocks.
  for (size_t keep : {whole.size() - 5, whole.size() - 30, whole.size() / 2, size_t(100)}) {
    seeds.push_back({"dump-cut-" + std::to_string(keep), whole.substr(0, keep)});
  }
  return seeds;
}

// Process memory as ELF core files and minidumps would hold it: the live
// memory-trace block in a low range, a stale copy of an older block's
// header in a high one. Each comes as the fuzz target's input twice: the
// container as a plain dump, and the ranges in the target's own container
// form (selector bits 1 to 3, then a count byte and each range's address
// and length), so that mutations hit both the headers and the contents.
struct ContainerSeed {
  std::string name;
  std::string plain;  // the container as the program reads it
  std::string input;  // the fuzz target's input
};

std::vector<ContainerSeed> containerSeeds() {
  constexpr uint64_t LOW = 0x00A40000, HIGH = 0x7FFD12340000;
  DumpParts parts = wellFormedParts();
  MemoryTraceBuilder live(uint32_t(LOW + 64), 400);
  live.entry(1, 1).text(3, 12, "live").exit(1, 1);
  live.next(live.cursor());
  MemoryTraceBuilder stale(0x00B00000, 400);
  stale.entry(2, 2).exit(2, 2);
  stale.next(stale.cursor());
  DumpBuilder low(64);
  low.append(live.build());
  low.append(parts.methods.indexBlock());
  low.append(parts.methods.methodBlock());
  low.append(traceBufferBlock('4', "buffer four\n"));
  DumpBuilder high(32);
  high.append(stale.build().substr(0, 64));
  high.append("****MEMORY_TRACE****constant");
  const std::vector<std::pair<uint64_t, std::string>> ranges = {{LOW, low.str()}, {HIGH, high.str()}};

  auto form = [&](unsigned shape, bool wide) {
    Bytes b;
    b.raw(std::string(1, char(shape << 1 | (wide ? 8 : 0))));  // selector
    b.raw(std::string(1, char(ranges.size() - 1)));              // count byte
    for (auto& [address, bytes] : ranges) {
      u64(b, address);                                // address
      u16(b, static_cast<uint16_t>(bytes.size()));    // length
    }
    for (auto& [address, bytes] : ranges) b.raw(bytes);
    return b.str();
  };
  std::vector<ContainerSeed> seeds;
  for (bool wide : {true, false}) {
    ElfCoreBuilder elf(wide);
    for (auto& [address, bytes] : ranges) elf.segment(wide ? address : address & 0x7FFFFFFF, bytes);
    std::string file = elf.build();
    seeds.push_back({wide ? "elf64-live-and-stale" : "elf32-live-and-stale", file, std::string(1, '\0') + file});
    MinidumpBuilder mini;
    for (auto& [address, bytes] : ranges) wide ? mini.memory64(address, bytes) : mini.memory(address, bytes);
    file = mini.build();
    seeds.push_back({wide ? "minidump64-live-and-stale" : "minidump-live-and-stale", file,
                     std::string(1, '\0') + file});
  }
  seeds.push_back({"wrapped-elf64", "", form(1, false)});
  seeds.push_back({"wrapped-elf32", "", form(2, false)});
  seeds.push_back({"wrapped-minidump", "", form(3, false)});
  seeds.push_back({"wrapped-minidump64", "", form(3, true)});
  return seeds;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--plain") != 0) || argc > 3) {
    std::fprintf(stderr, "usage: make_fuzz_corpus DIR [--plain]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool plain = argc == 3;
  int written = 0;
  for (const Seed& seed : traceFileSeeds()) {
    // The fuzz target puts the signature back in front of an odd selector.
    std::string input = plain ? seed.bytes : "\x01" + seed.bytes.substr(SIGNATURE.size());
    if (!writeFile(dir + "/" + seed.name, input)) return 1;
    ++written;
  }
  for (const Seed& seed : dumpSeeds()) {
    std::string input = plain ? seed.bytes : std::string(1, '\0') + seed.bytes;
    if (!writeFile(dir + "/" + seed.name, input)) return 1;
    ++written;
  }
  for (const ContainerSeed& seed : containerSeeds()) {
    if (plain && seed.plain.empty()) continue;  // a form only the fuzz target reads
    if (!writeFile(dir + "/" + seed.name, plain ? seed.plain : seed.input)) return 1;
    ++written;
  }
  std::printf("%d seeds written to %s\n", written, dir.c_str());
  return 0;
}
