#include <gtest/gtest.h>

#include "support/program_runner.h"
#include "support/trace_builder.h"

namespace ringlens::testing {
namespace {

TEST(ProgramSmoke, FormatsATraceDataFile) {
  TempDir dir;
  std::string file = dir.write("a.trace", FileTraceBuilder().entry(3, "Open").end().str());
  ProgramResult r = runProgram({file});
  EXPECT_EQ(r.out, expectedText("3 >Open\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
}  // namespace ringlens::testing
