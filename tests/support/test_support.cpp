#include "support/test_support.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/random.h"

extern char** environ;

namespace test {

namespace {

// The test's environment with `extra` entries replacing those of the same name,
// so that a child never sees two values of one variable.
std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  const auto name_of = [](const std::string& e) { return e.substr(0, e.find('=')); };
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || name_of(x) == name_of(entry);
    if (!replaced) envs.push_back(entry);
  }
  envs.insert(envs.end(), extra.begin(), extra.end());
  return envs;
}

}  // namespace

TempDir::TempDir() {
  const char* t = std::getenv("TMPDIR");
  path_ = std::string(t && *t ? t : "/tmp") + "/kav-test-" + random_hex(6);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away so cleanup succeeds.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, std::filesystem::directory_options::skip_permission_denied, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  const std::string full = file(name);
  create_directories(parent_path(full));
  if (!write_file_atomic(full, content)) throw std::runtime_error("couldn't write " + full);
  return full;
}

namespace {

// Starts argv with standard input from /dev/null, standard output into
// `out_fd` and, when `err_fd` is not -1, standard error into `err_fd`; the
// read ends in `close_fds` are closed in the child. Throws when it cannot start.
pid_t spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd, int err_fd,
                  std::initializer_list<int> close_fds) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", 0, 0);
  posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  for (int fd : close_fds) posix_spawn_file_actions_addclose(&fa, fd);
  const std::vector<std::string> envs = merged_environment(env);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeout_ms) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = spawn_child(argv, env, out_pipe[1], err_pipe[1], {out_pipe[0], err_pipe[0]});
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("spawn failed: " + argv[0]);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, left > 0 ? static_cast<int>(left) : 1000) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

bool have_tool(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int sh(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()); }

std::string eicar() { return "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"; }

}  // namespace test

namespace test {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = spawn_child(argv, env, fds[1], -1, {fds[0]});
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    throw std::runtime_error("spawn failed: " + argv[0]);
  }
  pid_ = pid;
  out_ = fds[0];
}

Child::~Child() {
  if (status_ < 0 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

bool Child::read_line(std::string& line, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return false;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

void Child::signal(int sig) {
  if (status_ < 0) kill(pid_, sig);
}

int Child::wait(int timeout_ms) {
  if (status_ >= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    usleep(20000);
  }
}

}  // namespace test
