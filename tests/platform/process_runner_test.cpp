#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/process_runner.h"

namespace {

TEST(RunProcess, ReportsExitCodesAndStartFailures) {
  std::string out = "kept";
  EXPECT_EQ(run_process({}, &out), kProcessNotStarted);
  EXPECT_EQ(run_process({"/nonexistent/program"}, &out), kProcessNotStarted);
  EXPECT_EQ(run_process({"no-such-program-on-the-path-kav"}, &out), kProcessNotStarted);
  EXPECT_EQ(out, "kept");  // nothing was appended
  EXPECT_EQ(run_process({"sh", "-c", "exit 7"}), 7);
  EXPECT_EQ(run_process({"/bin/sh", "-c", "exit 0"}), 0);
  EXPECT_EQ(run_process({"sh", "-c", "kill -9 $$"}), 128 + SIGKILL);
}

TEST(RunProcess, PassesArgumentsVerbatimWithoutAShell) {
  const std::string tricky = "a b;$HOME `id` \"q\" 'x' *";
  std::string out;
  EXPECT_EQ(run_process({"printf", "%s|%s|", tricky, ""}, &out), 0);
  EXPECT_EQ(out, tricky + "||");
}

TEST(RunProcess, StandardInputIsEmptyAndErrorsAreDiscarded) {
  std::string out;
  // cat would wait forever on a terminal or an inherited pipe.
  EXPECT_EQ(run_process({"sh", "-c", "cat; echo err >&2; echo done"}, &out), 0);
  EXPECT_EQ(out, "done\n");
}

TEST(RunProcess, NoOtherDescriptorReachesTheChild) {
  const int fd = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(fd, 3);
  const std::string probe = "test -e /proc/self/fd/" + std::to_string(fd);
  EXPECT_EQ(run_process({"sh", "-c", probe}), 1);
  ::close(fd);
}

TEST(RunProcess, CapturesMegabytesAndBoundsWhatIsKept) {
  std::string out;
  EXPECT_EQ(run_process({"head", "-c", "9000000", "/dev/zero"}, &out), 0);
  EXPECT_EQ(out.size(), 9000000u);

  // Beyond the limit the output is still read, so the child never blocks.
  std::string bounded = "x";
  ProcessOptions o;
  o.output = &bounded;
  o.output_limit = 1000;
  o.time_limit_ms = 20000;
  EXPECT_EQ(run_process({"head", "-c", "9000000", "/dev/zero"}, o), 0);
  EXPECT_EQ(bounded.size(), 1000u);
  EXPECT_EQ(bounded[0], 'x');

  // Without capture the output goes to the null device.
  EXPECT_EQ(run_process({"head", "-c", "9000000", "/dev/zero"}), 0);
}

TEST(RunProcess, CancellationEndsTheChildPromptly) {
  std::atomic<bool> cancel{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  const std::int64_t t0 = monotonic_ms();
  std::string out;
  EXPECT_EQ(run_process({"sleep", "30"}, &out, &cancel), kProcessCancelled);
  const std::int64_t took = monotonic_ms() - t0;
  setter.join();
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 1500);

  // A caller-supplied stop condition works the same way.
  int polls = 0;
  ProcessOptions o;
  o.stop_when = [&] { return ++polls >= 3; };
  EXPECT_EQ(run_process({"sleep", "30"}, o), kProcessCancelled);
  EXPECT_EQ(polls, 3);
}

bool process_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    const std::string stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close_paren = stat.rfind(')');
    if (stat.empty() || (close_paren != std::string::npos && stat.compare(close_paren + 1, 3, " Z ") == 0)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(RunProcess, TimeLimitKillsTheChildAndItsHelpers) {
  ProcessOptions o;
  o.time_limit_ms = 300;
  std::int64_t t0 = monotonic_ms();
  EXPECT_EQ(run_process({"sleep", "30"}, o), kProcessTimedOut);
  EXPECT_LT(monotonic_ms() - t0, 1500);

  // The child ends at once but leaves a helper holding the output pipe: the
  // run still ends at the time limit, and the helper is killed with it.
  std::string out;
  o.output = &out;
  o.time_limit_ms = 500;
  t0 = monotonic_ms();
  EXPECT_EQ(run_process({"sh", "-c", "sleep 30 & echo $!"}, o), kProcessTimedOut);
  EXPECT_LT(monotonic_ms() - t0, 2000);
  const pid_t helper = std::atoi(out.c_str());
  ASSERT_GT(helper, 0) << out;
  EXPECT_TRUE(process_gone(helper));
}

TEST(QuoteArgument, FollowsTheWindowsSplittingRules) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"C:\\Program\\curl.exe", "C:\\Program\\curl.exe"},
      {"two words", "\"two words\""},
      {"tab\there", "\"tab\there\""},
      {"say \\\"hi", "\"say \\\\\\\"hi\""},                           // backslash before a quote: three and the quote
      {"C:\\My Folder\\", "\"C:\\My Folder\\\\\""},                     // a trailing run is doubled
      {"", "\"\""},
      {"a\\\\b c", "\"a\\\\b c\""},                                     // backslashes elsewhere stay as they are
      {"q\"", "\"q\\\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quote_argument(c.in), c.out) << c.in;
}

}  // namespace
