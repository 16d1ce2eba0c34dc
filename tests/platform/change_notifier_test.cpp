#include "platform/change_notifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "support/test_support.h"

namespace {

bool has(const std::vector<ChangeEvent>& events, ChangeEvent::Kind kind, const std::string& path = "") {
  return std::any_of(events.begin(), events.end(),
                     [&](const ChangeEvent& e) { return e.kind == kind && (path.empty() || e.path == path); });
}

// Collects events until `done` holds or about two seconds pass.
std::vector<ChangeEvent> collect(ChangeNotifier& n, const std::function<bool(const std::vector<ChangeEvent>&)>& done) {
  std::vector<ChangeEvent> out;
  for (int i = 0; i < 20 && !done(out); ++i) EXPECT_TRUE(n.wait(100, out));
  return out;
}

TEST(ChangeNotifier, LostNotificationsAreReportedNotIgnored) {
  test::TempDir dir;
  std::string error;
  auto n = ChangeNotifier::create(&error);
  ASSERT_TRUE(n) << error;
  std::vector<ChangeEvent> out;
  ASSERT_TRUE(n->add_tree(dir.path(), out));
  // More events than the kernel queues (16384 by default) while nobody reads.
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit > 100000) GTEST_SKIP() << "the kernel queues " << limit << " events; too many to overflow quickly";
  for (int i = 0; i * 3 < limit + 300; ++i) {
    const int fd = ::open(dir.file("f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
  }
  out = collect(*n, [](const std::vector<ChangeEvent>& e) { return has(e, ChangeEvent::Kind::Overflow); });
  EXPECT_TRUE(has(out, ChangeEvent::Kind::Overflow));
}

TEST(ChangeNotifier, WakeEndsAWaitAtOnce) {
  test::TempDir dir;
  auto n = ChangeNotifier::create(nullptr);
  ASSERT_TRUE(n);
  std::vector<ChangeEvent> out;
  ASSERT_TRUE(n->add_tree(dir.path(), out));
  EXPECT_FALSE(n->add_tree(dir.file("missing"), out));
  EXPECT_EQ(n->watch_count(), 1u);
  n->wake();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(n->wait(5000, out));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(out.empty());
}

TEST(ChangeNotifier, FolderLinksBelowARootAreNotFollowed) {
  test::TempDir dir, elsewhere;
  create_directories(elsewhere.file("sub"));
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.file("link").c_str()), 0);
  auto n = ChangeNotifier::create(nullptr);
  ASSERT_TRUE(n);
  std::vector<ChangeEvent> out;
  ASSERT_TRUE(n->add_tree(dir.path(), out));
  EXPECT_EQ(n->watch_count(), 1u);
  // A link given as the root itself is followed.
  ASSERT_TRUE(n->add_tree(dir.file("link"), out));
  EXPECT_EQ(n->watch_count(), 3u);
  dir.write("plain.txt", "x");
  out = collect(*n, [&](const std::vector<ChangeEvent>& e) { return has(e, ChangeEvent::Kind::File); });
  EXPECT_TRUE(has(out, ChangeEvent::Kind::File));
}

}  // namespace
