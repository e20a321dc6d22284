// Extract plans and the writing of an extract; the progress bar.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool/extract_writer.h"
#include "tool/progress.h"
#include "tool/tool_input.h"
#include "tool_test_support.h"

namespace ringlens::tool {
namespace {

using ringlens::testing::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ToolExtractPlan, RangesAreClippedSortedAndJoined) {
  ExtractPlan plan = planKeepingRanges({{500, 100}, {10, 20}, {25, 10}, {35, 5}, {990, 100}, {2000, 5}, {50, 0}}, 1000);
  EXPECT_EQ(plan.size, 1000u);
  std::vector<ExtractPiece> expected = {{10, 30, 10}, {500, 100, 500}, {990, 10, 990}};
  EXPECT_EQ(plan.pieces, expected);
}

TEST(ToolExtractPlan, TraceDataFileKeepsTheRecordsRinglensReads) {
  struct Case {
    FileTraceSummary end;
    uint64_t size, kept;
  } cases[] = {
      {{FileTraceEnd::END_RECORD, 60, 0, 3}, 100, 64},  // through the kind-0 record
      {{FileTraceEnd::END_OF_FILE, 98, 0, 3}, 100, 98},  // two bytes that are no kind
      {{FileTraceEnd::END_OF_FILE, 100, 0, 3}, 100, 100},
      {{FileTraceEnd::CUT_SHORT, 90, 7, 3}, 100, 100},  // the cut record runs to the end
      {{FileTraceEnd::END_OF_FILE, 18, 0, 0}, 18, 18},
  };
  for (const auto& c : cases) {
    ExtractPlan plan = planFileTraceExtract(c.end, c.size);
    EXPECT_EQ(plan.size, c.kept);
    std::vector<ExtractPiece> expected = {{0, c.kept, 0}};
    EXPECT_EQ(plan.pieces, expected);
  }
}

struct Input {
  std::string bytes;
  MemorySource source;
  explicit Input(std::string b)
      : bytes(std::move(b)), source(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {}
};

std::string pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('A' + i % 23);
  return s;
}

TEST(ToolExtractWriter, PiecesLandAtTheirOffsetsWithZerosBetween) {
  TempDir dir;
  Input in(pattern(5000));
  ExtractPlan plan{{{100, 10, 100}, {4000, 1000, 4000}, {0, 3, 4997}}, 6000, ""};
  std::string out = dir.path() + "/small.dmp";
  ExtractResult r = writeExtract(in.source, plan, out, false, {});
  ASSERT_TRUE(r.written) << r.problem;
  std::string expected(6000, '\0');
  expected.replace(100, 10, in.bytes.substr(100, 10));
  expected.replace(4000, 1000, in.bytes.substr(4000, 1000));
  expected.replace(4997, 3, in.bytes.substr(0, 3));
  EXPECT_TRUE(readFile(out) == expected);
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"small.dmp"});  // no temporary left
  struct stat info;
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(ToolExtractWriter, ZeroBytesTakeNoRoomWhereTheFileSystemHasHoles) {
  TempDir dir;
  Input in(pattern(4096));
  ExtractPlan plan{{{0, 4096, 64 << 20}}, (64 << 20) + 4096, ""};
  std::string out = dir.path() + "/sparse.dmp";
  ASSERT_TRUE(writeExtract(in.source, plan, out, false, {}).written);
  struct stat info;
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  EXPECT_EQ(static_cast<uint64_t>(info.st_size), plan.size);
  EXPECT_LT(static_cast<uint64_t>(info.st_blocks) * 512, 1u << 20);
}

TEST(ToolExtractWriter, AnExistingFileIsReplacedOnlyWhenAskedTo) {
  TempDir dir;
  Input in(pattern(100));
  ExtractPlan plan{{{0, 100, 0}}, 100, ""};
  std::string out = dir.write("taken", "keep me");
  ExtractResult refused = writeExtract(in.source, plan, out, false, {});
  EXPECT_FALSE(refused.written);
  EXPECT_EQ(refused.problem, "'" + out + "' exists; --force replaces it");
  EXPECT_EQ(readFile(out), "keep me");
  ExtractResult replaced = writeExtract(in.source, plan, out, true, {});
  ASSERT_TRUE(replaced.written) << replaced.problem;
  EXPECT_EQ(readFile(out), in.bytes);
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"taken"});
}

TEST(ToolExtractWriter, AFailureLeavesNothingBehind) {
  TempDir dir;
  Input in(pattern(100));
  std::string out = dir.path() + "/out.dmp";
  // The input holds fewer bytes than the plan copies (it changed).
  ExtractResult shorter = writeExtract(in.source, {{{50, 100, 0}}, 100}, out, false, {});
  EXPECT_FALSE(shorter.written);
  EXPECT_EQ(shorter.problem, "the input ended early (was it changed meanwhile?); '" + out + "' not written");
  EXPECT_TRUE(filesIn(dir.path()).empty());
  // A folder that does not exist.
  ExtractResult nowhere = writeExtract(in.source, {{{0, 10, 0}}, 10}, dir.path() + "/no/out.dmp", false, {});
  EXPECT_FALSE(nowhere.written);
  EXPECT_EQ(nowhere.problem,
            "cannot create a temporary file beside '" + dir.path() + "/no/out.dmp': No such file or directory");
  // A folder in the way, even with --force.
  std::string folder = dir.path() + "/folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ExtractResult dirInWay = writeExtract(in.source, {{{0, 10, 0}}, 10}, folder, true, {});
  EXPECT_EQ(dirInWay.problem, "cannot replace '" + folder + "': Is a directory");
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"folder"});
}

TEST(ToolExtractWriter, NeverWritesTheInput) {
  TempDir dir;
  std::string dump = dir.write("dump", pattern(3000));
  ASSERT_EQ(chmod(dump.c_str(), 0444), 0);  // opened for reading only, so this does not matter
  ToolInput in = openToolInput(dump);
  ASSERT_TRUE(in.source) << in.problem;
  ExtractPlan plan{{{1000, 500, 1000}}, 3000, ""};
  // The input itself as the output is refused, with --force too.
  ExtractResult self = writeExtract(*in.source, plan, dump, true, in.identity);
  EXPECT_EQ(self.problem, "'" + dump + "' is the input; the extract must go to another file");
  EXPECT_EQ(readFile(dump), pattern(3000));
  ASSERT_TRUE(writeExtract(*in.source, plan, dir.path() + "/out", false, in.identity).written);
  EXPECT_EQ(readFile(dump), pattern(3000));
}

TEST(ToolInputOpening, NamesTheReason) {
  TempDir dir;
  EXPECT_EQ(openToolInput(dir.path() + "/missing").problem, "No such file or directory");
  EXPECT_EQ(openToolInput(dir.path()).problem, "Is a directory");
  EXPECT_EQ(openToolInput("").problem, "No such file or directory");
  EXPECT_EQ(inputLabel("-"), "standard input");
  EXPECT_EQ(inputLabel("a b"), "'a b'");
}

// Standard input replaced by `fd` while the object lives.
class StandardInputFrom {
 public:
  explicit StandardInputFrom(int fd) : saved_(dup(0)) { dup2(fd, 0); }
  ~StandardInputFrom() {
    dup2(saved_, 0);
    close(saved_);
  }

 private:
  int saved_;
};

std::string readAll(ByteSource& source) {
  std::string bytes(source.size(), '\0');
  size_t got = source.readAt(0, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()});
  bytes.resize(got);
  return bytes;
}

TEST(ToolInputOpening, StandardInputFromAFileOrAPipe) {
  TempDir dir;
  std::string content = pattern(200000);
  std::string file = dir.write("in", content);
  {
    int fd = open(file.c_str(), O_RDONLY);
    StandardInputFrom redirect(fd);
    close(fd);
    ToolInput in = openToolInput("-");
    ASSERT_TRUE(in.source) << in.problem;
    EXPECT_TRUE(readAll(*in.source) == content);
  }
  {
    // A pipe: copied to a temporary file first. The writer is a child so
    // that a full pipe does not stop the test.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t child = fork();
    if (child == 0) {
      close(p[0]);
      size_t at = 0;
      while (at < content.size()) {
        ssize_t n = write(p[1], content.data() + at, content.size() - at);
        if (n <= 0) _exit(1);
        at += static_cast<size_t>(n);
      }
      _exit(0);
    }
    close(p[1]);
    StandardInputFrom redirect(p[0]);
    close(p[0]);
    ToolInput in = openToolInput("-");
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(in.source) << in.problem;
    EXPECT_EQ(in.source->size(), content.size());
    EXPECT_TRUE(readAll(*in.source) == content);
    EXPECT_FALSE(in.identity.known);
  }
}

struct FakeTerminal {
  double now = 0;
  std::string drawn;
};

TEST(ToolProgress, ShowsOnATerminalOnlyAfterASecond) {
  FakeTerminal t;
  {
    ProgressBar bar(true, [&](std::string_view s) { t.drawn += s; }, [&] { return t.now; });
    t.now = 0.5;
    bar.update(10 << 20, 100 << 20);
    EXPECT_EQ(t.drawn, "");
    t.now = 1.2;
    bar.update(25 << 20, 100 << 20);
    EXPECT_EQ(t.drawn, "\rringlens-tool [#######.......................]  25%  25.0 of 100.0 MiB");
    t.drawn.clear();
    t.now = 1.25;  // drawn at most ten times a second
    bar.update(30 << 20, 100 << 20);
    EXPECT_EQ(t.drawn, "");
    t.now = 1.4;
    bar.update(100 << 20, 100 << 20);
    EXPECT_EQ(t.drawn, "\rringlens-tool [##############################] 100%  100.0 of 100.0 MiB");
    t.drawn.clear();
    bar.finish();
    EXPECT_EQ(t.drawn, "\r" + std::string(ProgressBar::render(100 << 20, 100 << 20).size(), ' ') + "\r");
    t.drawn.clear();
  }
  EXPECT_EQ(t.drawn, "");  // finished once only
}

TEST(ToolProgress, SilentWhenNotATerminal) {
  FakeTerminal t;
  {
    ProgressBar bar(false, [&](std::string_view s) { t.drawn += s; }, [&] { return t.now; });
    for (int i = 0; i < 5000; ++i) {
      t.now = i;
      bar.update(static_cast<uint64_t>(i) << 20, 5000ull << 20);
    }
  }
  EXPECT_EQ(t.drawn, "");
}

}  // namespace
}  // namespace ringlens::tool
