#include "platform/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"

extern char** environ;

namespace {

constexpr int kPollMs = 50;
constexpr std::size_t kChunk = 65536;

// Reads whatever is waiting without blocking; false once the pipe reached its end.
bool drain(int fd, const ProcessOptions& o) {
  char buf[kChunk];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (o.output != nullptr && o.output->size() < o.output_limit) {
        const std::size_t room = o.output_limit - o.output->size();
        o.output->append(buf, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
      }
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

int run_process(const std::vector<std::string>& args, std::string* output, const std::atomic<bool>* cancel) {
  ProcessOptions o;
  o.output = output;
  o.cancel = cancel;
  return run_process(args, o);
}

int run_process(const std::vector<std::string>& args, const ProcessOptions& o) {
  if (args.empty()) return kProcessNotStarted;
  const bool capture = o.output != nullptr;
  int pipe_fds[2] = {-1, -1};
  if (capture && ::pipe2(pipe_fds, O_CLOEXEC) != 0) return kProcessNotStarted;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Descriptors other components opened without close-on-exec stay here.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Own process group, so a kill reaches the child's helpers too; default
  // signal dispositions and an empty mask whatever this process has set.
  sigset_t defaults, empty;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (capture) ::close(pipe_fds[1]);
  if (rc != 0) {
    if (capture) ::close(pipe_fds[0]);
    return kProcessNotStarted;
  }
  const int read_fd = pipe_fds[0];
  if (capture) ::fcntl(read_fd, F_SETFL, ::fcntl(read_fd, F_GETFL) | O_NONBLOCK);

  const std::int64_t deadline = o.time_limit_ms > 0 ? monotonic_ms() + o.time_limit_ms : 0;
  int verdict = 0;  // 0 while no limit ended the run, else kProcessCancelled or kProcessTimedOut
  bool exited = false, pipe_open = capture;
  int status = 0;
  // Runs until the child has ended and its pipe is at its end, or a limit ended
  // the run; after a kill the pipe is no longer waited for.
  while (!exited || (pipe_open && verdict == 0)) {
    if (verdict == 0) {
      if ((o.cancel != nullptr && o.cancel->load()) || (o.stop_when && o.stop_when())) {
        verdict = kProcessCancelled;
      } else if (deadline != 0 && monotonic_ms() >= deadline) {
        verdict = kProcessTimedOut;
      }
      if (verdict != 0) ::kill(-pid, SIGKILL);
    }
    if (pipe_open) {
      pollfd p{read_fd, POLLIN, 0};
      const int n = ::poll(&p, 1, exited ? kPollMs : 0);
      if (n > 0) pipe_open = drain(read_fd, o);
    }
    if (!exited) {
      const pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid || (w < 0 && errno == ECHILD)) {
        exited = true;
        if (w < 0) status = 0;
        continue;
      }
      // Wait up to 50 ms for output or the child's end.
      if (pipe_open) {
        pollfd p{read_fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) > 0) pipe_open = drain(read_fd, o);
      } else {
        ::usleep(kPollMs * 1000);
      }
    }
  }
  if (capture) {
    if (pipe_open && verdict == 0) drain(read_fd, o);
    ::close(read_fd);
  }
  return verdict != 0 ? verdict : exit_code_of(status);
}
