#include "support/xvfb.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace test {

Xvfb::Xvfb() {
  if (access("/usr/bin/Xvfb", X_OK) != 0) return;
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", 0, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 1, 0);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  const std::string fd = std::to_string(fds[1]);
  std::vector<std::string> args = {"/usr/bin/Xvfb", "-displayfd", fd, "-screen", "0", "1600x1000x24", "-nolisten", "tcp"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (pid_ > 0 && poll(&p, 1, 10000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

}  // namespace test
