// The sample inputs in samples/ are what the generator makes, and the
// program's output on them is the text shipped beside them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sample_files.h"
#include "support/program_runner.h"

#ifndef RINGLENS_SAMPLES_DIR
#error "RINGLENS_SAMPLES_DIR must name the samples folder of the source tree"
#endif

namespace ringlens::testing {
namespace {

const std::string SAMPLES = RINGLENS_SAMPLES_DIR;

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file) << "cannot read " << path;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

TEST(Samples, ShippedInputsAreWhatTheGeneratorMakes) {
  // When this fails after a change to the generator, run make_samples on
  // samples/ and renew the .txt files (see tools/make_samples.cpp).
  EXPECT_TRUE(readFile(SAMPLES + "/sample.trace") == samples::sampleTrace());
  EXPECT_TRUE(readFile(SAMPLES + "/sample.dmp") == samples::sampleDump());
}

TEST(ProgramSamples, OutputIsTheShippedText) {
  for (const char* name : {"sample.trace", "sample.dmp"}) {
    SCOPED_TRACE(name);
    ProgramResult r = runProgram({SAMPLES + "/" + name}, {{"TZ", "UTC"}});
    EXPECT_EQ(r.out, expectedText(readFile(SAMPLES + "/" + name + ".txt")));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

// A checkout, a build folder or an input whose path holds blanks: the
// program and the sample are copied into folders named so, and run from
// there (under the launcher, if any, that runs the program under test).
TEST(ProgramSamples, PathsWithBlanks) {
  TempDir dir;
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(dir.path()) / "a checkout" / "build dir";
  fs::create_directories(folder);
  const std::string program = programCommand().back();
  const fs::path copy = folder / fs::path(program).filename();
  fs::copy_file(program, copy);
  const fs::path input = folder / "the sample.dmp";
  fs::copy_file(SAMPLES + "/sample.dmp", input);

  ScopedEnvironment useCopy("RINGLENS_TEST_PROGRAM", copy.string());
  ProgramResult r = runProgram({input.string()}, {{"TZ", "UTC"}});
  expectRun(r, readFile(SAMPLES + "/sample.dmp.txt"), "", 0);
}

}  // namespace
}  // namespace ringlens::testing
