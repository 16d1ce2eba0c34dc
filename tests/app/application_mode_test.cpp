// The application modes of the real program: the window self-test under
// xvfb-run, closing the window, the fall-back to the browser without a
// display, and the updater hand-off before any server or window exists.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/json_text.h"
#include "support/test_support.h"
#include "support/x_window.h"
#include "support/xvfb.h"

namespace {

// A one-leaf general model: the detector is ready and every file scores low.
const char* const kGeneralModel =
    "tree\nversion=v3\nobjective=binary sigmoid:1\nmax_feature_idx=2567\n\nTree=0\nnum_leaves=1\nleaf_value=-4\n\n"
    "end of trees\n";

// A copy of the program in a folder of its own, with the shipped signature
// feed and a model beside it, as an installation has them.
struct Installation {
  test::TempDir dir;
  std::string exe;
  Installation() {
    exe = dir.file("keltharon-antivirus");
    EXPECT_TRUE(write_file_atomic(exe, read_whole_file(KAV_EXE)));
    chmod(exe.c_str(), 0755);
    chmod(dir.path().c_str(), 0755);
    EXPECT_TRUE(write_file_atomic(dir.file("signatures.avsg"), read_whole_file(std::string(KAV_SOURCE_DIR) +
                                                                                 "/data/signatures.avsg")));
    dir.write("models/general.txt", kGeneralModel);
  }
  // An updater beside the program that records its arguments in `record` and exits with `code`.
  void add_updater(const std::string& record, int code) const {
    const std::string path = dir.write("KeltharonUpdater", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record +
                                                               "'\nexit " + std::to_string(code) + "\n");
    chmod(path.c_str(), 0755);
  }
};

// A folder for PATH whose xdg-open records the address it was given.
std::string fake_opener(const test::TempDir& dir, const std::string& record) {
  const std::string path = dir.write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record + "'\n");
  chmod(path.c_str(), 0755);
  chmod(dir.file("bin").c_str(), 0755);
  return dir.file("bin") + ":/usr/bin:/bin";
}

// The state letter and parent of a process, from /proc; false when it is gone.
bool process_stat(int pid, char& state, int& ppid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');  // the command name may itself hold ')'
  return close != std::string::npos && std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2;
}

std::set<int> descendants(int pid) {
  std::set<int> found = {pid};
  for (bool grew = true; grew;) {
    grew = false;
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
      const int p = std::atoi(e->d_name);
      char state = 0;
      int ppid = 0;
      if (p > 0 && !found.count(p) && process_stat(p, state, ppid) && found.count(ppid)) {
        found.insert(p);
        grew = true;
      }
    }
    if (d) closedir(d);
  }
  found.erase(pid);
  return found;
}

bool alive(int pid) {
  char state = 0;
  int ppid = 0;
  return process_stat(pid, state, ppid) && state != 'Z';
}

TEST(ApplicationMode, WindowSelfTestUnderXvfbRunReportsWhatThePageShows) {
#ifdef KAV_SANITIZED
  GTEST_SKIP() << "real windows are tested in the optimised build";
#endif
  if (access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  Installation app;
  test::TempDir data, out;
  const std::string report = out.file("report.json");
  const test::RunResult r = test::run({"/usr/bin/xvfb-run", "-a", app.exe, "--gui-smoke-test", report},
                                      {"AV_DATA_DIR=" + data.path()}, 150000);
  EXPECT_EQ(r.status, 0) << r.err;
  const auto doc = parse_json(read_whole_file(report));
  ASSERT_TRUE(doc.has_value()) << "no report";
  EXPECT_EQ(*doc, (Json{{"ai_models", 1},
                        {"application_identity", true},
                        {"native_webview", true},
                        {"passed", true},
                        {"rendered_api_state", true},
                        {"schema", "keltharon-antivirus-gui/2"},
                        {"signatures", 4},
                        {"version", "1.0.14"},
                        {"window_icon", true}}));
  // Two-space indentation, sorted keys, no trailing newline.
  const std::string text = read_whole_file(report);
  EXPECT_EQ(text.rfind("{\n  \"ai_models\": 1,\n", 0), 0u);
  EXPECT_NE(text.back(), '\n');
  // The web view keeps its profile in the data directory.
  EXPECT_TRUE(is_real_directory(data.file("webview")));

  // A report that cannot be written fails the self-test and leaves nothing.
  const std::string blocked = out.write("file", "x") + "/report.json";
  const test::RunResult b = test::run({"/usr/bin/xvfb-run", "-a", app.exe, "--gui-smoke-test", blocked},
                                      {"AV_DATA_DIR=" + data.path()}, 150000);
  EXPECT_EQ(b.status, 1);
  EXPECT_FALSE(path_exists(blocked));
}

TEST(ApplicationMode, ClosingTheWindowEndsTheRunWithNothingLeftRunning) {
#ifdef KAV_SANITIZED
  GTEST_SKIP() << "real windows are tested in the optimised build";
#endif
  test::Xvfb x;
  if (!x.available()) GTEST_SKIP() << "Xvfb is not installed";
  Installation app;
  test::TempDir data;
  // These runs are about the window and the browser, not the watcher: with
  // protection off, no run waits on another test's blocking watcher.
  data.write("settings.json", "{\"auto_update\": false, \"realtime\": false}");
  test::Child child({app.exe}, {"AV_DATA_DIR=" + data.path(), "DISPLAY=" + x.display()});
  test::XDisplay display(x.display());
  ASSERT_TRUE(display.connected());
  const unsigned long window = display.find_window("Keltharon Antivirus", 60000);
  ASSERT_NE(window, 0u) << "no window appeared";
  int width = 0, height = 0;
  ASSERT_TRUE(display.window_size(window, width, height));
  EXPECT_EQ(width, 1180);
  EXPECT_EQ(height, 780);
  // Let the page load and the web engine start its helper processes, then
  // keep a picture of the window as it is.
  std::this_thread::sleep_for(std::chrono::seconds(8));
  const std::set<int> helpers = descendants(child.pid());
  EXPECT_FALSE(helpers.empty()) << "the web engine runs in helper processes";
  EXPECT_TRUE(display.save_screenshot(std::string(KAV_BINARY_DIR) + "/desktop-window.png", window));
  EXPECT_TRUE(path_exists(data.file("rt_status.json"))) << "the controller is running";

  const std::int64_t closed_at = now_ms();
  ASSERT_TRUE(display.request_close(window));
  EXPECT_EQ(child.wait(20000), 0);
  for (int pid : helpers) {
    for (int i = 0; i < 50 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(alive(pid)) << "helper process " << pid << " outlived the program";
  }
  // The controller was stopped: it wrote its last heartbeat after the close,
  // with the watcher already off.
  const auto beat = parse_json(read_whole_file(data.file("rt_status.json")));
  ASSERT_TRUE(beat.has_value());
  EXPECT_EQ((*beat)["pid"], child.pid()) << beat->dump();
  EXPECT_GE((*beat)["updated"].get<std::int64_t>(), closed_at) << beat->dump();
  EXPECT_EQ((*beat)["realtime"], false) << beat->dump();
}

TEST(ApplicationMode, WithoutADisplayTheAppOpensInTheBrowser) {
  Installation app;
  test::TempDir data, bin;
  // These runs are about the window and the browser, not the watcher: with
  // protection off, no run waits on another test's blocking watcher.
  data.write("settings.json", "{\"auto_update\": false, \"realtime\": false}");
  const std::string opened = bin.file("opened");
  test::Child child({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", app.exe},
                    {"AV_DATA_DIR=" + data.path(), "PATH=" + fake_opener(bin, opened)});
  std::string line;
  ASSERT_TRUE(child.read_line(line, 30000));
  EXPECT_EQ(line.rfind("Keltharon Antivirus is running at http://127.0.0.1:", 0), 0u) << line;
  const std::string address = line.substr(line.find("http://"));
  ASSERT_TRUE(child.read_line(line, 5000));
  EXPECT_EQ(line, "Press Ctrl+C to quit.");
  for (int i = 0; i < 50 && !path_exists(opened); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(read_whole_file(opened), address + "\n");
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(10000), 0);
}

// The hand-off is only offered to a process that is not elevated, so these
// runs drop to an unprivileged account when the tests run as root.
std::vector<std::string> unprivileged(std::vector<std::string> argv) {
  if (geteuid() != 0) return argv;
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  return argv;
}

TEST(ApplicationMode, TheUpdaterIsOfferedTheStartAndMayEndIt) {
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  struct Case {
    const char* what;
    std::string settings;
    int updater_exit;
    bool updater_runs;
    bool app_runs;
  } cases[] = {
      {"updater takes over", "{}", 42, true, false},
      {"updater has nothing to do", "{}", 0, true, true},
      {"automatic updates off", "{\"auto_update\": false}", 42, false, true},
  };
  for (const Case& c : cases) {
    Installation app;
    test::TempDir data, bin;
    chmod(data.path().c_str(), 0777);
    chmod(bin.path().c_str(), 0777);
    data.write("settings.json", c.settings);
    chmod(data.file("settings.json").c_str(), 0666);
    const std::string record = bin.file("updater-args");
    app.add_updater(record, c.updater_exit);
    test::Child child(unprivileged({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", app.exe, "--browser"}),
                      {"AV_DATA_DIR=" + data.path(), "PATH=" + fake_opener(bin, bin.file("opened"))});
    std::string line;
    const bool printed = child.read_line(line, 30000);
    EXPECT_EQ(printed && line.rfind("Keltharon Antivirus is running at", 0) == 0, c.app_runs) << c.what << ": " << line;
    if (printed) child.signal(SIGTERM);
    EXPECT_EQ(child.wait(15000), 0) << c.what;
    EXPECT_EQ(path_exists(record), c.updater_runs) << c.what;
    if (c.updater_runs) {
      EXPECT_EQ(read_whole_file(record), "--product\nantivirus\n--version\n1.0.14\n--executable\n" + app.dir.path() +
                                             "/keltharon-antivirus\n")
          << c.what;
    }
  }
}

TEST(ApplicationMode, AnElevatedProcessAndTheSelfTestNeverStartTheUpdater) {
  Installation app;
  test::TempDir data, bin;
  const std::string record = bin.file("updater-args");
  app.add_updater(record, 42);
  if (geteuid() == 0) {
    test::Child child({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", app.exe, "--browser"},
                      {"AV_DATA_DIR=" + data.path(), "PATH=" + fake_opener(bin, bin.file("opened"))});
    std::string line;
    ASSERT_TRUE(child.read_line(line, 30000));
    EXPECT_EQ(line.rfind("Keltharon Antivirus is running at", 0), 0u) << line;
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(15000), 0);
  }
  // Without a display the self-test cannot open its window and fails at once.
  const test::RunResult r =
      test::run({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", app.exe, "--gui-smoke-test", bin.file("r")},
                {"AV_DATA_DIR=" + data.path()}, 30000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("), opening in the browser instead.\n"), std::string::npos) << r.err;
  EXPECT_FALSE(path_exists(bin.file("r")));
  EXPECT_FALSE(path_exists(record)) << "the updater was started";
}

}  // namespace
