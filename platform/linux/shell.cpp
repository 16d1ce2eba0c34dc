#include "platform/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char** environ;

void open_with_shell(const std::string& target) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The opener (and the browser it may start) must not inherit this process's
  // descriptors: a kept server socket would hold the port and its connections.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string prog = "xdg-open";
  char* argv[] = {prog.data(), const_cast<char*>(target.c_str()), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) std::thread([pid] { int status = 0; ::waitpid(pid, &status, 0); }).detach();
}
