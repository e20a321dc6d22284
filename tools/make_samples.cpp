// Writes the sample inputs, sample.trace and sample.dmp, into the folder
// named on the command line (samples/ of the source tree by default when
// run from there). Their formatted texts, samples/*.txt, are the program's
// output on them with TZ=UTC. The build target `samples` does all three:
//
//   cmake --build build --target samples
//
// which is:
//
//   make_samples samples
//   TZ=UTC ringlens samples/sample.trace > samples/sample.trace.txt
//   TZ=UTC ringlens samples/sample.dmp > samples/sample.dmp.txt
#include <cstdio>
#include <fstream>
#include <string>

#include "sample_files.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "make_samples: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : "samples";
  bool ok = writeFile(folder + "/sample.trace", ringlens::samples::sampleTrace());
  ok = writeFile(folder + "/sample.dmp", ringlens::samples::sampleDump()) && ok;
  return ok ? 0 : 1;
}
