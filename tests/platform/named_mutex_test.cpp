#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/named_mutex.h"
#include "support/test_support.h"

namespace {

TEST(NamedMutex, OneHolderAtATimeWithinAProcess) {
  test::TempDir dir;
  const std::string lock = dir.file("owner.lock");
  NamedMutex a, b;
  EXPECT_TRUE(a.try_claim(lock));
  EXPECT_TRUE(a.try_claim(lock));  // a holder counts as owner without claiming again
  EXPECT_FALSE(b.try_claim(lock));
  a.release();
  EXPECT_TRUE(b.try_claim(lock));
  EXPECT_FALSE(a.try_claim(dir.file("missing-folder/owner.lock")));
}

TEST(NamedMutex, AKilledOwnerReleasesIt) {
  test::TempDir dir;
  const std::string lock = dir.file("owner.lock");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex m;
    const char ok = m.try_claim(lock) ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  NamedMutex mine;
  EXPECT_FALSE(mine.try_claim(lock));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(mine.try_claim(lock));
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
