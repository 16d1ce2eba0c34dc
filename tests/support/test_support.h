// Shared test fixtures: temporary folders, small files, and running the
// program as a child process with its output captured.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace test {

// A fresh folder under the temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to name (creating folders) and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) with extra environment entries
// "NAME=value" added, and waits at most `timeout_ms`.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              int timeout_ms = 120000);

// The 68-byte EICAR test string.
std::string eicar();

// True when `tool` is found on the search path.
bool have_tool(const char* tool);
// Runs `command` through the shell with its output discarded; the shell's exit status.
int sh(const std::string& command);

}  // namespace test

namespace test {

// A child process whose standard output is read line by line while it runs.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();  // kills the child if it is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  // The next line of output (without its newline), or nothing after `timeout_ms`.
  bool read_line(std::string& line, int timeout_ms);
  void signal(int sig);
  // The exit status (or 128 + signal), or -1 when it did not end within `timeout_ms`.
  int wait(int timeout_ms);

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  int status_ = -1;
};

}  // namespace test
