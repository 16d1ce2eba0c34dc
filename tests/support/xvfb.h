// A private X server for window tests: starts Xvfb on a display it chooses
// itself and stops it on destruction. available() is false when Xvfb is missing.
#pragma once

#include <string>

#include <sys/types.h>

namespace test {

class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  bool available() const { return pid_ > 0 && !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace test
