// The updater hand-off with small updaters of our own that record how they
// were called and answer with a chosen exit code.
#include "app/updater_handoff.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "support/test_support.h"

namespace {

// Writes an updater script into `dir` that records its arguments, one per
// line, in `record` and exits with `code`.
void install_updater(const test::TempDir& dir, const std::string& record, int code) {
  const std::string path = dir.write("KeltharonUpdater", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                                             record + "'\nexit " + std::to_string(code) + "\n");
  chmod(path.c_str(), 0755);
}

TEST(UpdaterHandoff, ExitCodesDecideWhetherTheApplicationQuits) {
  struct Case {
    int code;
    bool quits;
  } cases[] = {{0, false}, {1, false}, {41, false}, {42, true}, {43, false}, {255, false}};
  for (const Case& c : cases) {
    test::TempDir exe_dir, out;
    install_updater(exe_dir, out.file("args"), c.code);
    EXPECT_EQ(launch_updater(exe_dir.path(), "antivirus", "1.0.14"), c.quits) << "exit code " << c.code;
    // The command line is fixed: product, version, and the product's own executable name.
    EXPECT_EQ(read_whole_file(out.file("args")),
              "--product\nantivirus\n--version\n1.0.14\n--executable\n" + exe_dir.path() + "/keltharon-antivirus\n");
  }
}

TEST(UpdaterHandoff, AnythingButARegularFileIsNoUpdater) {
  test::TempDir out;
  {  // nothing there
    test::TempDir exe_dir;
    EXPECT_FALSE(launch_updater(exe_dir.path(), "antivirus", "1.0.14"));
  }
  {  // a folder of that name
    test::TempDir exe_dir;
    ASSERT_EQ(mkdir(exe_dir.file("KeltharonUpdater").c_str(), 0755), 0);
    EXPECT_FALSE(launch_updater(exe_dir.path(), "antivirus", "1.0.14"));
  }
  {  // a link to an updater that would answer 42: links are not followed
    test::TempDir exe_dir, elsewhere;
    install_updater(elsewhere, out.file("linked"), 42);
    ASSERT_EQ(symlink(elsewhere.file("KeltharonUpdater").c_str(), exe_dir.file("KeltharonUpdater").c_str()), 0);
    EXPECT_FALSE(launch_updater(exe_dir.path(), "antivirus", "1.0.14"));
    EXPECT_FALSE(path_exists(out.file("linked"))) << "the linked updater was run";
  }
  {  // a regular file that cannot be started
    test::TempDir exe_dir;
    exe_dir.write("KeltharonUpdater", "not a program");
    EXPECT_FALSE(launch_updater(exe_dir.path(), "antivirus", "1.0.14"));
  }
}

TEST(UpdaterHandoff, TheExecutableNameIsFixedWhateverTheRunningFileIsCalled) {
  EXPECT_EQ(product_executable_path("/opt/kav", "antivirus"), "/opt/kav/keltharon-antivirus");
  EXPECT_EQ(product_executable_path("/opt/kav", "anything"), "/opt/kav/keltharon-antivirus");
}

}  // namespace
