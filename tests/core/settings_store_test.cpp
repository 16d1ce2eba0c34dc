#include "core/settings_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "support/test_support.h"

namespace {

const char kTail[] =
    ". The original file is preserved. Protection continues; settings changes apply only for this session. "
    "Repair settings.json or restore settings.json.backup, then restart to save changes.";

SettingsStore make_store(const test::TempDir& dir) {
  return SettingsStore(dir.file("settings.json"), SettingsStore::default_settings());
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Runs `fn` in a forked child and returns what it reported ("" when it died).
std::string in_child(const std::function<std::string()>& fn) {
  int p[2];
  if (pipe(p) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    const std::string report = fn();
    if (write(p[1], report.data(), report.size()) < 0) _exit(3);
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

std::string text_of(const Json& j) { return j.dump(2); }

}  // namespace

TEST(SettingsStore, NoFileGivesDefaultsAndFirstUpdateCreatesItWithoutBackup) {
  test::TempDir dir;
  SettingsStore store = make_store(dir);
  const Json s = store.load();
  EXPECT_EQ(s, SettingsStore::default_settings());
  EXPECT_EQ(s["ai_threshold"], 0.8);
  EXPECT_TRUE(s["ai_threshold"].is_number_float());
  EXPECT_FALSE(store.read_only());
  EXPECT_EQ(store.warning(), "");
  const Json after = store.update({{"schedule", "daily"}});
  EXPECT_EQ(after["schedule"], "daily");
  EXPECT_FALSE(store.read_only()) << store.warning();
  EXPECT_EQ(read_whole_file(dir.file("settings.json")), text_of(after));
  EXPECT_FALSE(path_exists(dir.file("settings.json.backup")));
  // The next save backs up exactly the previous bytes.
  const std::string before = read_whole_file(dir.file("settings.json"));
  store.update({{"auto_update", false}});
  EXPECT_EQ(read_whole_file(dir.file("settings.json.backup")), before);
  EXPECT_EQ(*parse_json(read_whole_file(dir.file("settings.json"))), store.current());
}

TEST(SettingsStore, Validation) {
  test::TempDir dir;
  SettingsStore store = make_store(dir);
  struct Case {
    const char* key;
    Json value;
    bool valid;
  } cases[] = {
      {"realtime", true, true},
      {"realtime", "yes", false},
      {"realtime", 1, false},
      {"ai_threshold", 1, true},
      {"ai_threshold", 0, true},
      {"ai_threshold", 0.55, true},
      {"ai_threshold", 1.5, false},
      {"ai_threshold", -0.1, false},
      {"ai_threshold", "0.5", false},
      {"schedule", "daily", true},
      {"schedule", "off", true},
      {"schedule", "Daily", false},
      {"schedule", "monthly", false},
      {"last_scheduled_scan", 0, true},
      {"last_scheduled_scan", 1796880315390LL, true},
      {"last_scheduled_scan", 18446744073709551615ULL, false},
      {"last_scheduled_scan", -5, false},
      {"last_scheduled_scan", 1.5, false},
      {"watch_paths", Json::array(), true},
      {"watch_paths", Json::array({"/home/a", "/srv"}), true},
      {"watch_paths", Json::array({"/home/a", 3}), false},
      {"watch_paths", "/home/a", false},
      {"something_new", Json::array({1, "x"}), true},
  };
  for (const Case& c : cases) EXPECT_EQ(store.validate(c.key, c.value), c.valid) << c.key << " = " << c.value.dump();
  Json nan_value = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(store.validate("ai_threshold", nan_value));
}

TEST(SettingsStore, UnusableFilesGoReadOnlyAndAreNeverRewritten) {
  struct Case {
    const char* content;
    const char* reason;
    const char* key;  // a key whose value in effect is checked
    Json in_effect;
  } cases[] = {
      {"[]", "Your settings file contains invalid JSON", "ai_threshold", 0.8},
      {"not json {", "Your settings file contains invalid JSON", "schedule", "weekly"},
      {"", "Your settings file contains invalid JSON", "realtime", true},
      {"{\"ai_threshold\": 1.5}", "Some saved settings could not be read safely", "ai_threshold", 0.8},
      {"{\"schedule\": \"Daily\"}", "Some saved settings could not be read safely", "schedule", "weekly"},
      {"{\"last_scheduled_scan\": -5}", "Some saved settings could not be read safely", "last_scheduled_scan", 0},
      {"{\"last_scheduled_scan\": 1.5}", "Some saved settings could not be read safely", "last_scheduled_scan", 0},
      {"{\"realtime\": \"yes\", \"auto_update\": false}", "Some saved settings could not be read safely",
       "auto_update", false},
      {"{\"watch_paths\": [\"/a\", 1]}", "Some saved settings could not be read safely", "realtime", true},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    dir.write("settings.json", c.content);
    SettingsStore store = make_store(dir);
    const Json s = store.load();
    EXPECT_TRUE(store.read_only()) << c.content;
    EXPECT_EQ(store.warning(), std::string(c.reason) + kTail) << c.content;
    EXPECT_EQ(s[c.key], c.in_effect) << c.content;
    // Changes keep applying in memory; the file stays as the user left it.
    const Json after = store.update({{"schedule", "off"}});
    EXPECT_EQ(after["schedule"], "off");
    EXPECT_EQ(read_whole_file(dir.file("settings.json")), c.content);
    EXPECT_FALSE(path_exists(dir.file("settings.json.backup"))) << c.content;
    // Reloading while read-only does not touch the disk or the settings in effect.
    dir.write("settings.json", "{}");
    EXPECT_EQ(store.load()["schedule"], "off");
  }
}

TEST(SettingsStore, ValidFileKeepsUnknownKeysAndPatchesSkipBadValues) {
  test::TempDir dir;
  dir.write("settings.json", "{\"ai_threshold\": 1, \"future_key\": {\"x\": [1, 2]}, \"schedule\": \"daily\"}");
  SettingsStore store = make_store(dir);
  const Json s = store.load();
  EXPECT_FALSE(store.read_only()) << store.warning();
  EXPECT_EQ(s["ai_threshold"], 1);
  EXPECT_EQ(s["future_key"]["x"][1], 2);
  EXPECT_EQ(s["realtime"], true);
  const Json after = store.update({{"realtime", "yes"}, {"schedule", "off"}, {"added_later", "v"}});
  EXPECT_EQ(after["realtime"], true);
  EXPECT_EQ(after["schedule"], "off");
  const Json on_disk = *parse_json(read_whole_file(dir.file("settings.json")));
  EXPECT_EQ(on_disk["added_later"], "v");
  EXPECT_EQ(on_disk["future_key"]["x"][0], 1);
  EXPECT_EQ(on_disk, after);
  // A patch that is not an object changes nothing but still saves.
  EXPECT_EQ(store.update(Json::array({1})), after);
  EXPECT_FALSE(store.read_only());
}

TEST(SettingsStore, SizeLimitIsFourMebibytes) {
  for (std::size_t extra : {0u, 1u}) {
    test::TempDir dir;
    const std::string head = "{\"pad\": \"";
    const std::string tail = "\"}";
    const std::string content = head + std::string(4194304 - head.size() - tail.size() + extra, 'x') + tail;
    dir.write("settings.json", content);
    SettingsStore store = make_store(dir);
    store.load();
    if (extra == 0) {
      EXPECT_FALSE(store.read_only()) << store.warning();
      EXPECT_EQ(store.current()["pad"].get<std::string>().size(), 4194304 - head.size() - tail.size());
    } else {
      EXPECT_EQ(store.warning(), std::string("Your settings file could not be read") + kTail);
    }
  }
}

TEST(SettingsStore, NotARegularFileCannotBeRead) {
  test::TempDir dir;
  create_directories(dir.file("settings.json"));
  SettingsStore store = make_store(dir);
  store.load();
  EXPECT_EQ(store.warning(), std::string("Your settings file could not be read") + kTail);
  EXPECT_EQ(store.current(), SettingsStore::default_settings());
}

TEST(SettingsStore, HandEditBetweenLoadAndSaveIsKept) {
  for (const char* edit : {"{\"schedule\": \"off\"}", "{\"schedule\": \"weekly\"}", ""}) {
    test::TempDir dir;
    dir.write("settings.json", "{\"schedule\": \"weekly\"}");
    SettingsStore store = make_store(dir);
    store.load();
    // "weekly" rewritten with the same bytes still counts: the file was written after it was read.
    if (*edit) {
      usleep(2000);
      dir.write("settings.json", edit);
    } else {
      remove_file(dir.file("settings.json"));
    }
    const Json after = store.update({{"auto_update", false}});
    EXPECT_EQ(after["auto_update"], false);
    EXPECT_EQ(store.warning(), std::string("Your settings file changed outside this app") + kTail) << edit;
    EXPECT_EQ(read_whole_file(dir.file("settings.json")), edit);
    EXPECT_FALSE(path_exists(dir.file("settings.json.backup")));
  }
}

TEST(SettingsStore, StringsThatAreNotUtf8AreNeverWritten) {
  test::TempDir dir;
  SettingsStore store = make_store(dir);
  store.load();
  store.update({{"schedule", "daily"}});
  const std::string before = read_whole_file(dir.file("settings.json"));
  const Json after = store.update({{"watch_paths", Json::array({std::string("/home/\xff")})}});
  EXPECT_EQ(after["watch_paths"][0], std::string("/home/\xff"));
  EXPECT_EQ(store.warning(), std::string("Your settings could not be saved safely") + kTail);
  EXPECT_EQ(read_whole_file(dir.file("settings.json")), before);
}

TEST(SettingsStore, ReadOnlyFolder) {
  // Root writes anywhere, so the store runs in a child that has dropped to "nobody".
  struct Case {
    bool file_exists;
    const char* reason;
  } cases[] = {
      {true, "A safe backup of your settings could not be saved"},
      {false, "Your settings could not be saved"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string original = "{\"schedule\": \"daily\"}";
    if (c.file_exists) dir.write("settings.json", original);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    const std::string report = in_child([&]() -> std::string {
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0))
        return "couldn't drop privileges";
      SettingsStore store = make_store(dir);
      store.load();
      if (store.read_only()) return "read-only after load: " + store.warning();
      const Json after = store.update({{"auto_update", false}});
      if (after["auto_update"] != false) return "the change was not kept in memory";
      return store.warning();
    });
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(report, std::string(c.reason) + kTail);
    if (c.file_exists) {
      EXPECT_EQ(read_whole_file(dir.file("settings.json")), original);
    } else {
      EXPECT_FALSE(path_exists(dir.file("settings.json")));
    }
    std::vector<DirEntry> entries;
    list_directory(dir.path(), entries);
    EXPECT_EQ(entries.size(), c.file_exists ? 1u : 0u);
  }
}

TEST(SettingsStore, FullDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  struct Case {
    bool file_exists;
    const char* reason;
  } cases[] = {
      {true, "A safe backup of your settings could not be saved"},
      {false, "Your settings could not be saved"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string report = in_child([&]() -> std::string {
      // A private mount namespace: the tmpfs disappears with the child.
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        return "SKIP: mounting a tmpfs is not permitted here";
      const std::string original = "{\"schedule\": \"daily\", \"pad\": \"" + std::string(3000, 'p') + "\"}";
      if (c.file_exists && !write_file_atomic(dir.file("settings.json"), original)) return "setup write failed";
      SettingsStore store = make_store(dir);
      store.load();
      if (store.read_only()) return "read-only after load";
      // Fill the file system to the last byte.
      const int fd = open(dir.file("filler").c_str(), O_WRONLY | O_CREAT, 0600);
      const std::string block(4096, 'f');
      while (write(fd, block.data(), block.size()) > 0) {
      }
      while (write(fd, "f", 1) > 0) {
      }
      close(fd);
      const Json after = store.update({{"auto_update", false}});
      if (after["auto_update"] != false) return "the change was not kept in memory";
      if (c.file_exists && read_whole_file(dir.file("settings.json")) != original) return "settings.json was changed";
      if (!c.file_exists && path_exists(dir.file("settings.json"))) return "a settings.json appeared";
      std::vector<DirEntry> entries;
      list_directory(dir.path(), entries);
      for (const DirEntry& e : entries)
        if (e.name != "filler" && e.name != "settings.json") return "left behind: " + e.name;
      // Space comes back, but the store stays read-only for the rest of the run.
      remove_file(dir.file("filler"));
      store.update({{"schedule", "off"}});
      if (c.file_exists && read_whole_file(dir.file("settings.json")) != original) return "written after read-only";
      if (!c.file_exists && path_exists(dir.file("settings.json"))) return "written after read-only";
      return store.warning();
    });
    if (starts_with(report, "SKIP:")) GTEST_SKIP() << report;
    EXPECT_EQ(report, std::string(c.reason) + kTail);
  }
}

TEST(SettingsStore, TwoProcessesSavingAtOnceNeverLoseAChangeSilently) {
  test::TempDir dir;
  dir.write("settings.json", "{}");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  int results[2][2];
  pid_t pids[2];
  for (int w = 0; w < 2; ++w) {
    ASSERT_EQ(pipe(results[w]), 0);
    pids[w] = fork();
    if (pids[w] == 0) {
      close(go[1]);
      SettingsStore store = make_store(dir);
      store.load();
      char c;
      if (read(go[0], &c, 1) != 1) _exit(3);  // both start saving together
      for (int i = 0; i < 60 && !store.read_only(); ++i) store.update({{"writer", w}, {"n", i}});
      const std::string report = (store.read_only() ? "ro\n" : "rw\n") + store.warning() + "\n" +
                                 store.current().dump(2);
      if (write(results[w][1], report.data(), report.size()) < 0) _exit(3);
      _exit(0);
    }
    close(results[w][1]);
  }
  close(go[0]);
  ASSERT_EQ(write(go[1], "gg", 2), 2);
  close(go[1]);
  // Meanwhile the file is only ever a whole document.
  int done = 0, torn = 0;
  while (done < 2) {
    const std::string text = read_whole_file(dir.file("settings.json"));
    if (!text.empty() && !parse_json(text)) ++torn;
    int status;
    done = 0;
    for (pid_t p : pids) done += waitpid(p, &status, WNOHANG) == p || kill(p, 0) != 0;
  }
  EXPECT_EQ(torn, 0);
  std::string reports[2];
  for (int w = 0; w < 2; ++w) {
    char buf[8192];
    for (ssize_t n; (n = read(results[w][0], buf, sizeof buf)) > 0;) reports[w].append(buf, static_cast<std::size_t>(n));
    close(results[w][0]);
    waitpid(pids[w], nullptr, 0);
  }
  const std::string final_text = read_whole_file(dir.file("settings.json"));
  ASSERT_TRUE(parse_json(final_text)) << final_text;
  int writable = 0;
  for (const std::string& r : reports) {
    ASSERT_GE(r.size(), 3u);
    const std::string body = r.substr(r.find('\n', 3) + 1);
    if (starts_with(r, "rw\n")) {
      // A process that never warned has its last change on disk.
      ++writable;
      EXPECT_EQ(final_text, body);
    } else {
      const std::string warning = r.substr(3, r.find('\n', 3) - 3);
      EXPECT_TRUE(starts_with(warning, "Your settings file changed outside this app") ||
                  starts_with(warning, "Your settings file changed while saving"))
          << warning;
    }
  }
  EXPECT_LE(writable, 1);
}
