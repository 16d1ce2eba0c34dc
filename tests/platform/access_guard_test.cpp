#include "platform/access_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/test_support.h"

namespace {

// Opens happen in a child process: the guard answers this process's own
// opens without asking, and a fault cannot hang the test binary.
test::RunResult cat_in_child(const std::string& path) { return test::run({"/bin/cat", path}, {}, 10000); }

TEST(AccessGuard, DecisionDecidesAndOwnOpensAreNotAsked) {
  test::TempDir dir;
  const std::string bad = dir.write("refuse.me", "a");
  const std::string good = dir.write("allow.me", "b");
  std::atomic<int> asked{0};
  std::string why;
  auto guard = AccessGuard::create(
      [&](const AccessRequest& r) {
        ++asked;
        return r.path == bad;
      },
      2000, &why);
  if (!guard) GTEST_SKIP() << "on-access blocking unavailable: " << why;
  std::string err;
  ASSERT_TRUE(guard->add_folder(dir.path(), &err)) << err;

  EXPECT_EQ(read_whole_file(bad), "a");  // this process: allowed, never asked
  EXPECT_EQ(asked.load(), 0);
  const test::RunResult refused = cat_in_child(bad);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("Operation not permitted"), std::string::npos) << refused.err;
  const test::RunResult allowed = cat_in_child(good);
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(allowed.out, "b");
  EXPECT_GE(asked.load(), 2);
  guard->stop();
  guard->stop();  // idempotent
  EXPECT_EQ(cat_in_child(bad).status, 0) << "a stopped guard still refuses";
}

TEST(AccessGuard, AnOpenNeverWaitsLongerThanTheBound) {
  test::TempDir dir;
  const std::string file = dir.write("slow.txt", "eventually");
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::string why;
  auto guard = AccessGuard::create(
      [&](const AccessRequest&) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });  // a verdict that never comes in time
        return true;
      },
      300, &why);
  if (!guard) GTEST_SKIP() << "on-access blocking unavailable: " << why;
  ASSERT_TRUE(guard->add_folder(dir.path(), nullptr));
  const auto t0 = std::chrono::steady_clock::now();
  const test::RunResult r = cat_in_child(file);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r.status, 0) << r.err;  // allowed when the bound ran out
  EXPECT_EQ(r.out, "eventually");
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::milliseconds(2500));
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  guard->stop();
}

TEST(AccessGuard, SubfoldersAreNotGuardedUnlessAdded) {
  test::TempDir dir;
  const std::string inner = dir.write("sub/inner.txt", "inner");
  std::string why;
  auto guard = AccessGuard::create([](const AccessRequest&) { return true; }, 2000, &why);
  if (!guard) GTEST_SKIP() << "on-access blocking unavailable: " << why;
  ASSERT_TRUE(guard->add_folder(dir.path(), nullptr));
  EXPECT_EQ(cat_in_child(inner).status, 0);
  ASSERT_TRUE(guard->add_folder(dir.file("sub"), nullptr));
  EXPECT_NE(cat_in_child(inner).status, 0);
  std::string err;
  EXPECT_FALSE(guard->add_folder(dir.file("missing"), &err));
  EXPECT_FALSE(err.empty());
}

}  // namespace
