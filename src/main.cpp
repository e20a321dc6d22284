// ringlens: formats a trace data file or a process dump holding a memory
// trace as text lines on standard output.
#include "output.h"
#include "platform.h"
#include "run.h"

#ifdef _WIN32
// Arguments are taken as typed: "*.dmp" is a file name, not a pattern.
// The C runtime's start-up code reads this switch before main runs.
extern "C" {
int _dowildcard = 0;
}
#endif

int main(int argc, char** argv) {
  ringlens::initPlatform();
  ringlens::StandardStreams streams;
  return ringlens::runCommandLine(argc, argv, streams);
}
