// The whole program on real process dumps: the traced test program
// (tests/traced_program) is run in each of its builds, dumped while alive
// by gdb's gcore and by the kernel, and ringlens must print exactly what
// the program says a correct formatter prints for it.
//
// Each dump is also checked to hold what makes it a real test: an ELF core
// file whose address map ringlens reads, a live memory-trace block, and a
// later copy of the signature (the stale header the program keeps at a
// high address, and whatever else the process held), so that the last
// occurrence would be the wrong one.
//
// The Windows form of the traced program writes its own minidump; it is
// run under Wine by scripts/windows-tests, which names it in
// RINGLENS_TEST_TRACED_WINDOWS (the path of traced_program.exe, run under
// RINGLENS_TEST_LAUNCHER, "wine").
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dump_trace/dump_container.h"
#include "dump_trace/dump_trace.h"
#include "input_file.h"
#include "platform.h"
#include "support/program_runner.h"

namespace ringlens::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

uint64_t fileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Variant {
  std::string name, program;
};
void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

std::vector<Variant> tracedPrograms() {
  std::vector<Variant> variants;
#ifdef RINGLENS_TRACED_PROGRAMS
  std::istringstream list(RINGLENS_TRACED_PROGRAMS);
  for (std::string item; std::getline(list, item, ',');) {
    size_t eq = item.find('=');
    if (eq != std::string::npos) variants.push_back({item.substr(0, eq), item.substr(eq + 1)});
  }
#endif
  return variants;
}

// The address space a process maps (VmSize), from /proc; 0 when unknown.
uint64_t mappedBytes(pid_t pid) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;  // in kB
  }
  return 0;
}
// The traced program maps a few megabytes.
constexpr uint64_t MOST_MAPPED = uint64_t(1) << 30;

// The traced program, running in its own folder until it is dumped or let
// go.
class TracedProcess {
 public:
  TracedProcess(const std::string& program, const std::string& dir, bool allowCore) : dir_(dir) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      dup2(in[0], 0);
      dup2(out[1], 1);
      FILE* err = std::freopen("traced.err", "w", stderr);
      (void)err;
      close(in[1]);
      close(out[0]);
      std::vector<const char*> argv = {program.c_str(), "expected.txt"};
      if (allowCore) argv.push_back("--core");
      argv.push_back(nullptr);
      execv(program.c_str(), const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    FILE* ready = fdopen(out[0], "r");
    char line[64] = {};
    ready_ = ready && std::fgets(line, sizeof line, ready) && std::string(line) == "ready\n";
    if (ready) std::fclose(ready);
  }
  ~TracedProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0 && !reaped_) waitpid(pid_, nullptr, 0);
  }

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  std::string expected() const { return readFile(dir_ + "/expected.txt"); }
  std::string report() const { return readFile(dir_ + "/traced.err"); }

  // Ends the process with SIGQUIT, whose default action is a core dump;
  // true when the kernel says it wrote one.
  bool dumpByKernel() {
    kill(pid_, SIGQUIT);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFSIGNALED(status) && WCOREDUMP(status);
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
  bool reaped_ = false;
};

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// What the dump holds, as ringlens's own readers see it.
struct DumpFacts {
  DumpKind kind = DumpKind::RAW;
  size_t ranges = 0;
  std::optional<uint64_t> live;
  uint64_t last = 0;
};

DumpFacts factsOf(const std::string& path) {
  DumpFacts facts;
  auto file = openInputFile(path.c_str());
  if (!file) return facts;
  AddressMap map = readAddressMap(*file);
  BlockChoice choice(map);
  scanDump(*file, choice);
  facts.kind = map.kind();
  facts.ranges = map.ranges().size();
  facts.live = choice.lastLiveMemoryTrace();
  facts.last = choice.lastMemoryTrace();
  return facts;
}

// ringlens on the dump: exactly the expected text, nothing on standard
// error, status 0; and the dump is one in which the last occurrence of
// the memory-trace signature is not the live block.
void checkDump(const std::string& what, const std::string& dump, const std::string& expected, DumpKind kind) {
  SCOPED_TRACE(what);
  ASSERT_FALSE(expected.empty());
  auto start = std::chrono::steady_clock::now();
  ProgramResult r = runProgram({dump});
  double took = secondsSince(start);
  expectRun(r, expected, "", 0);
  // Through a pipe the same, the headers read from the stream's head.
  if (const char* custom = std::getenv("RINGLENS_TEST_PROGRAM"); !custom || !*custom) {
    ProgramResult piped =
        runCommandIn("", {"bash", "-c", "cat \"$2\" | \"$1\" /dev/stdin", "bash", RINGLENS_PROGRAM, dump}, {});
    expectRun(piped, expected, "", 0);
  }

  DumpFacts facts = factsOf(dump);
  EXPECT_EQ(facts.kind, kind);
  ASSERT_TRUE(facts.live.has_value()) << "no live memory-trace block";
  EXPECT_LT(*facts.live, facts.last) << "no later copy of the signature";
  std::printf("[ dump     ] %s: %s, %llu bytes, %zu ranges, live block at %llu, last copy at %llu, ringlens %.3f s\n",
              what.c_str(), std::string(dumpKindName(facts.kind)).c_str(),
              static_cast<unsigned long long>(fileSize(dump)), facts.ranges,
              static_cast<unsigned long long>(*facts.live), static_cast<unsigned long long>(facts.last), took);
}

// ringlens-tool's extract of the dump, where the tool is built: a small
// ELF core file that ringlens formats exactly as the dump, with the same
// live block chosen.
void checkExtract(const std::string& what, const std::string& dump, const std::string& expected) {
#ifdef RINGLENS_TOOL_PROGRAM
  SCOPED_TRACE(what + ", extract");
  const std::string extract = dump + ".extract";
  ProgramResult x = runCommandIn("", {RINGLENS_TOOL_PROGRAM, "extract", dump, extract}, {});
  ASSERT_EQ(x.status, 0) << x.out << x.err;
  ProgramResult r = runProgram({extract});
  expectRun(r, expected, "", 0);
  DumpFacts after = factsOf(extract);
  EXPECT_EQ(after.kind, DumpKind::ELF_CORE);
  EXPECT_TRUE(after.live.has_value());
  EXPECT_LT(fileSize(extract), fileSize(dump) / 20);
  std::printf("[ extract  ] %s: %llu of %llu bytes, %zu ranges, live block at %llu\n", what.c_str(),
              static_cast<unsigned long long>(fileSize(extract)), static_cast<unsigned long long>(fileSize(dump)),
              after.ranges, static_cast<unsigned long long>(after.live.value_or(0)));
#else
  (void)what, (void)dump, (void)expected;
#endif
}

class ProgramRealDump : public ::testing::TestWithParam<Variant> {};

TEST_P(ProgramRealDump, GcoreDumpFormatsExactly) {
  const Variant& v = GetParam();
  if (runCommandIn("", {"sh", "-c", "command -v gcore"}, {}).status != 0) GTEST_SKIP() << "gcore (gdb) is missing";
  TempDir dir;
  TracedProcess traced(v.program, dir.path(), false);
  ASSERT_TRUE(traced.ready()) << traced.report();
  // gcore writes every mapping; a process mapping gigabytes (built with a
  // sanitizer's shadow memory) is not dumped.
  const uint64_t mapped = mappedBytes(traced.pid());
  ASSERT_LT(mapped, MOST_MAPPED) << "the traced program maps " << mapped << " bytes";
  std::string prefix = dir.path() + "/gcore";
  auto start = std::chrono::steady_clock::now();
  ProgramResult g = runCommandIn("", {"gcore", "-o", prefix, std::to_string(traced.pid())}, {});
  double took = secondsSince(start);
  std::string dump = prefix + "." + std::to_string(traced.pid());
  ASSERT_EQ(g.status, 0) << g.out << g.err;
  std::printf("[ gcore    ] %s: %.2f s; %s", v.name.c_str(), took, traced.report().c_str());
  checkDump("gcore " + v.name, dump, traced.expected(), DumpKind::ELF_CORE);
  checkExtract("gcore " + v.name, dump, traced.expected());
}

TEST_P(ProgramRealDump, KernelCoreDumpFormatsExactly) {
  const Variant& v = GetParam();
  std::string pattern = readFile("/proc/sys/kernel/core_pattern");
  if (pattern.empty() || pattern[0] == '|' || pattern.find('/') != std::string::npos) {
    GTEST_SKIP() << "core_pattern is not a file name in the process's folder: " << pattern;
  }
  TempDir dir;
  TracedProcess traced(v.program, dir.path(), true);
  ASSERT_TRUE(traced.ready()) << traced.report();
  std::string expected = traced.expected();
  std::string report = traced.report();
  std::set<std::string> before = filesIn(dir.path());
  auto start = std::chrono::steady_clock::now();
  if (!traced.dumpByKernel()) GTEST_SKIP() << "the kernel wrote no core (core-size hard limit 0?)";
  double took = secondsSince(start);
  std::string core;
  for (const std::string& name : filesIn(dir.path())) {
    if (!before.count(name)) core = dir.path() + "/" + name;
  }
  ASSERT_FALSE(core.empty()) << "the kernel's core file is not in the process's folder";
  std::printf("[ kernel   ] %s: %.2f s; %s", v.name.c_str(), took, report.c_str());
  checkDump("kernel " + v.name, core, expected, DumpKind::ELF_CORE);
}

INSTANTIATE_TEST_SUITE_P(ProgramBuilds, ProgramRealDump, ::testing::ValuesIn(tracedPrograms()),
                         [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ProgramRealDump);

// The Windows build of the traced program, which dumps itself with
// MiniDumpWriteDump; only where scripts/windows-tests names it.
TEST(ProgramWindowsMinidump, MiniDumpWriteDumpFormatsExactly) {
  const char* command = std::getenv("RINGLENS_TEST_TRACED_WINDOWS");
  if (!command || !*command) GTEST_SKIP() << "RINGLENS_TEST_TRACED_WINDOWS names no traced program";
  TempDir dir;
  std::vector<std::string> words = programCommand();
  words.back() = command;
  words.push_back("expected.txt");
  words.push_back("traced.dmp");
  auto start = std::chrono::steady_clock::now();
  ProgramResult t = runCommandIn(dir.path(), words, {});
  double took = secondsSince(start);
  ASSERT_EQ(t.status, 0) << t.out << t.err;
  std::printf("[ minidump ] MiniDumpWriteDump: %.2f s; %s", took, t.err.c_str());
  checkDump("minidump", dir.path() + "/traced.dmp", readFile(dir.path() + "/expected.txt"), DumpKind::MINIDUMP);
}

}  // namespace
}  // namespace ringlens::testing
