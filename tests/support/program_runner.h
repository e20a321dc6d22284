// Runs the built ringlens program as a separate process and captures its
// standard output, standard error and exit status, for whole-program
// tests.
//
// RINGLENS_TEST_PROGRAM, when set, replaces the program; it is one path,
// blanks and all. RINGLENS_TEST_LAUNCHER, when set, holds blank-separated
// words that run it (for example "wine" or "qemu-s390x").
// RINGLENS_TEST_CRLF=1 says that the program writes text streams with CR LF
// line ends; expectedText() then turns every "\n" of an expectation into
// "\r\n".
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef RINGLENS_PROGRAM
#error "RINGLENS_PROGRAM must name the built program"
#endif

namespace ringlens::testing {

struct ProgramResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the program did not exit normally
};

inline std::vector<std::string> programCommand() {
  std::vector<std::string> words;
  if (const char* launcher = std::getenv("RINGLENS_TEST_LAUNCHER")) {
    std::istringstream in(launcher);
    for (std::string word; in >> word;) words.push_back(word);
  }
  const char* custom = std::getenv("RINGLENS_TEST_PROGRAM");
  words.push_back(custom && *custom ? custom : RINGLENS_PROGRAM);
  return words;
}

inline bool expectsCrlf() {
  const char* crlf = std::getenv("RINGLENS_TEST_CRLF");
  return crlf && std::string(crlf) == "1";
}

// An expected stream text as this platform's program writes it.
inline std::string expectedText(const std::string& text) {
  if (!expectsCrlf()) return text;
  std::string converted;
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

// Runs `command` in the folder `workingDirectory` (the test's own when
// empty), in an environment holding only `env` (plus PATH, HOME and WINE*
// settings, which the program ignores), with standard input from the
// descriptor `input`, or none (/dev/null) when it is -1. The descriptor
// is closed here once the program has it, so that a writer at the other
// end of a pipe sees the program go.
inline ProgramResult runCommandIn(const std::string& workingDirectory, const std::vector<std::string>& command,
                                  const std::map<std::string, std::string>& env, int input = -1) {
  std::vector<std::string> environment;
  for (auto& [name, value] : env) environment.push_back(name + "=" + value);
  for (const char* keep : {"PATH", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEARCH", "WINEDLLOVERRIDES"}) {
    if (const char* value = std::getenv(keep); value && !env.count(keep)) {
      environment.push_back(std::string(keep) + "=" + value);
    }
  }

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(127);
    int null = input >= 0 ? input : open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    std::vector<char*> argv, envp;
    for (auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    for (auto& setting : environment) envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (input >= 0) close(input);

  ProgramResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* targets[2] = {&result.out, &result.err};
  int open = 2;
  int status = 0;
  bool exited = false;
  // Reads until both pipes end. A launcher such as Wine can leave helper
  // processes running that hold the pipes open; once the program itself
  // has exited, everything it wrote is in the pipes, so they are read
  // empty and no longer waited for.
  while (open > 0) {
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      for (auto& f : fds) {
        if (f.fd >= 0) fcntl(f.fd, F_SETFL, fcntl(f.fd, F_GETFL) | O_NONBLOCK);
      }
    }
    int ready = poll(fds, 2, exited ? 0 : 20);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      if (exited) break;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[65536];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        targets[i]->append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  while (!exited && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Runs the program with `args` after its name, in an environment holding
// only `env` (plus PATH, HOME and WINE* settings), with no standard input.
inline ProgramResult runProgram(const std::vector<std::string>& args,
                                const std::map<std::string, std::string>& env = {{"TZ", "UTC"}}) {
  std::vector<std::string> command = programCommand();
  command.insert(command.end(), args.begin(), args.end());
  return runCommandIn("", command, env);
}

// The same, started in the folder `workingDirectory`.
inline ProgramResult runProgramIn(const std::string& workingDirectory, const std::vector<std::string>& args,
                                  const std::map<std::string, std::string>& env = {{"TZ", "UTC"}}) {
  std::vector<std::string> command = programCommand();
  command.insert(command.end(), args.begin(), args.end());
  return runCommandIn(workingDirectory, command, env);
}

// Checks a run's standard output, standard error and exit status exactly,
// the streams as this platform's program writes them.
inline void expectRun(const ProgramResult& r, const std::string& out, const std::string& err, int status) {
  EXPECT_EQ(r.out, expectedText(out));
  EXPECT_EQ(r.err, expectedText(err));
  EXPECT_EQ(r.status, status);
}

// Sets an environment variable of the test process for one scope, and
// puts back what it was.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A folder of its own for a test's files, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/ringlens-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes a file in the folder and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  std::string path_;
};

}  // namespace ringlens::testing
