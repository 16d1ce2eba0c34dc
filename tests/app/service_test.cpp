// The real executable in --service mode: its line, its run until a signal,
// and its clean stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A child with standard output and error on one pipe; killed if still alive at the end.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out_fd_ = p[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
  }
  bool started() const { return pid_ > 0; }

  // Reads output until it holds `lines` complete lines or `timeout_ms` passes.
  std::string read_lines(int lines, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count_lines() < lines) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd pfd{out_fd_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(out_fd_, buf, sizeof buf);
      if (n <= 0) break;
      out_.append(buf, static_cast<std::size_t>(n));
    }
    return out_;
  }

  // The exit status, or -1 while still running after `timeout_ms`.
  int wait_exit(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void signal(int sig) { kill(pid_, sig); }

 private:
  int count_lines() const {
    int n = 0;
    for (char c : out_) n += c == '\n';
    return n;
  }
  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool exited_ = false;
  std::string out_;
};

const std::string kLineStart = "Keltharon Antivirus protection service running (";
const std::string kNoBlocking = "On-access blocking is unavailable (";

TEST(ServiceMode, RunsUntilSignalledAndStopsCleanly) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    test::TempDir data;
    Child child({KAV_EXE, "--service"}, {"AV_DATA_DIR=" + data.path()});
    ASSERT_TRUE(child.started());
    const std::string out = child.read_lines(1, 15000);
    ASSERT_EQ(out.rfind(kLineStart, 0), 0u) << out;
    const std::string line = out.substr(0, out.find('\n'));
    // Blocking as root where the kernel grants it; otherwise one more line says why not.
    if (line == kLineStart + "watch).") {
      const std::string both = child.read_lines(2, 3000);
      EXPECT_NE(both.find("\n" + kNoBlocking), std::string::npos) << both;
    } else {
      EXPECT_EQ(line, kLineStart + "block).");
    }
    // It keeps running until told to stop.
    EXPECT_EQ(child.wait_exit(1200), -1) << "the service ended by itself";
    const auto t0 = Clock::now();
    child.signal(sig);
    EXPECT_EQ(child.wait_exit(5000), 0);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  }
}

TEST(ServiceMode, WithoutRootSaysInOneLineThatItOnlyDetects) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the service as another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  test::TempDir data;
  ASSERT_EQ(chmod(data.path().c_str(), 0777), 0);
  Child child({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KAV_EXE, "--service"},
              {"AV_DATA_DIR=" + data.path()});
  ASSERT_TRUE(child.started());
  const std::string out = child.read_lines(2, 15000);
  EXPECT_EQ(out, kLineStart + "watch).\n" + kNoBlocking +
                     "not running as root); real-time protection detects and quarantines only.\n");
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait_exit(5000), 0);
}

}  // namespace
