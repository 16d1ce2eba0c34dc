#include <gtest/gtest.h>

#include <cstdlib>

#include "core/data_directory.h"
#include "platform/known_folders.h"
#include "support/test_support.h"

namespace {

// data_dir() caches its first answer for the life of the process, so this
// binary sets AV_DATA_DIR once, before any call.
TEST(DataDirectory, CreatesTheFolderAndIgnoresLaterChanges) {
  test::TempDir root;
  const std::string wanted = root.file("not/yet/there");
  setenv("AV_DATA_DIR", wanted.c_str(), 1);
  EXPECT_EQ(data_dir(), wanted);
  EXPECT_TRUE(is_real_directory(wanted));
  setenv("AV_DATA_DIR", root.file("other").c_str(), 1);
  EXPECT_EQ(data_dir(), wanted);
  // The data directory's models folder is used unless one sits beside the executable.
  EXPECT_EQ(models_dir(), is_real_directory(join_path(executable_dir(), "models"))
                              ? join_path(executable_dir(), "models")
                              : join_path(wanted, "models"));
}

TEST(KnownFolders, FollowTheXdgVariables) {
  const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  unsetenv("XDG_DATA_HOME");
  setenv("TMPDIR", "/scratch", 1);
  EXPECT_EQ(known_folder_path(KnownFolder::RoamingAppData), "/cfg");
  EXPECT_EQ(known_folder_path(KnownFolder::LocalAppData), "/home/someone/.local/share");
  EXPECT_EQ(known_folder_path(KnownFolder::Profile), "/home/someone");
  EXPECT_EQ(known_folder_path(KnownFolder::Temp), "/scratch");
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(known_folder_path(KnownFolder::RoamingAppData), "/home/someone/.config");
  EXPECT_EQ(known_folder_path(KnownFolder::Downloads), "/home/someone/Downloads");
  setenv("HOME", saved_home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("TMPDIR");
}

}  // namespace
