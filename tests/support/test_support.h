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

}  // namespace test
