#include "core/scan_job.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/file_stream.h"
#include "support/test_support.h"

namespace {

av::ScanResult result_for(const std::string& path, av::Verdict v, bool incomplete = false) {
  av::ScanResult r;
  r.path = path;
  r.verdict = v;
  r.incomplete = incomplete;
  r.name = v == av::Verdict::Malware ? "Eicar-Test-Signature" : "";
  return r;
}

// A host whose scanner answers from a table (clean by default) and that
// remembers what the worker asked of it.
struct FakeHost {
  std::mutex mutex;
  ScanJob job;
  std::atomic<bool> cancel{false};
  std::map<std::string, av::Verdict> verdicts;
  std::vector<std::string> scanned;
  std::vector<std::string> quarantined;
  std::vector<std::pair<std::string, bool>> recorded;
  bool auto_quarantine = true;
  std::function<void()> after_scan;

  ScanJobHost host() {
    ScanJobHost h;
    h.scan = [this](const std::string& p) {
      scanned.push_back(p);
      const auto it = verdicts.find(file_name(p));
      av::ScanResult r = result_for(p, it == verdicts.end() ? av::Verdict::Clean : it->second);
      if (after_scan) after_scan();
      return r;
    };
    h.with_job = [this](const std::function<void(ScanJob&)>& change) {
      std::lock_guard<std::mutex> lock(mutex);
      change(job);
    };
    h.cancel = &cancel;
    h.auto_quarantine = [this] { return auto_quarantine; };
    h.quarantine = [this](const av::ScanResult& r) {
      quarantined.push_back(r.path);
      return std::string("0123456789abcdef01234567");
    };
    h.record_detection = [this](const av::ScanResult& r, bool q) { recorded.emplace_back(r.path, q); };
    return h;
  }
  void run(const std::string& type, const std::vector<std::string>& targets, const std::string& qdir = "") {
    job.state = "scanning";
    run_scan_job(type, targets, qdir, host());
  }
};

}  // namespace

TEST(ScanJob, AccountingCountsThreatsErrorsAndKeepsTwentySamples) {
  ScanJob job;
  for (int i = 0; i < 25; ++i) job.add_result(result_for("/e" + std::to_string(i), av::Verdict::Error));
  EXPECT_EQ(job.errors, 25);
  ASSERT_EQ(job.error_samples.size(), 20u);
  EXPECT_EQ(job.error_samples.back().path, "/e19");
  job.add_result(result_for("/zip", av::Verdict::Malware, /*incomplete=*/true));
  job.add_result(result_for("/sus", av::Verdict::Suspicious));
  job.add_result(result_for("/ok", av::Verdict::Clean));
  job.add_error("/dir", "Couldn't read folder: Permission denied");
  EXPECT_EQ(job.scanned, 28);
  EXPECT_EQ(job.threats, 2);
  EXPECT_EQ(job.errors, 27);
  EXPECT_EQ(job.current, "/ok");
  ASSERT_EQ(job.found.size(), 2u);
  EXPECT_EQ(job.found[0].path, "/zip");
  const Json j = job.to_json();
  for (const char* key : {"id", "type", "state", "current", "scanned", "threats", "errors", "started", "finished",
                          "found", "error_samples"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_EQ(j.size(), 11u);
  EXPECT_EQ(j["found"][1]["verdict"], "suspicious");
  EXPECT_EQ(j["error_samples"].size(), 20u);
}

TEST(ScanJob, TargetsPerType) {
  EXPECT_EQ(scan_targets("custom", {"/b", "/a", "/b"}), (std::vector<std::string>{"/b", "/a", "/b"}));
  EXPECT_TRUE(scan_targets("custom", {}).empty());

  test::TempDir dir;
  const std::map<std::string, std::string> env = {{"HOME", dir.file("home")},
                                                  {"TMPDIR", dir.file("home")},  // a duplicate
                                                  {"XDG_CONFIG_HOME", dir.file("cfg")},
                                                  {"XDG_DATA_HOME", dir.file("data")}};
  std::map<std::string, std::string> saved;
  for (const auto& [k, v] : env) {
    if (const char* old = getenv(k.c_str())) saved[k] = old;
    setenv(k.c_str(), v.c_str(), 1);
  }
  const std::vector<std::string> quick = scan_targets("quick", {"/ignored"});
  const std::vector<std::string> scheduled = scan_targets("scheduled", {});
  for (const auto& [k, v] : env) {
    if (saved.count(k)) setenv(k.c_str(), saved[k].c_str(), 1);
    else unsetenv(k.c_str());
  }
  const std::vector<std::string> expected{dir.file("cfg"), dir.file("data"), dir.file("home"),
                                          dir.file("home/Downloads")};
  EXPECT_EQ(quick, expected);
  EXPECT_EQ(scheduled, expected);

  // A full scan walks the one root; /dev/shm comes in on its own because /dev is skipped.
  for (const char* type : {"full", "anything"}) {
    const std::vector<std::string> full = scan_targets(type, {});
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full[0], "/");
    for (const std::string& t : full) EXPECT_TRUE(t == "/" || t == "/dev/shm") << t;
  }
}

TEST(ScanJob, WorkerReportsTargetsItCannotScan) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  struct Case {
    const char* type;
    std::vector<std::string> targets;
    std::vector<std::pair<std::string, std::string>> errors;  // path, detail
  } cases[] = {
      {"custom", {}, {{"", "No paths were selected for scanning."}}},
      {"quick", {}, {{"", "No paths were selected for scanning."}}},
      {"custom", {dir.file("missing")}, {{dir.file("missing"), "No such file or directory"}}},
      {"custom", {dir.file("fifo")}, {{dir.file("fifo"), "The path is not a regular file or folder."}}},
      {"quick", {dir.file("missing"), dir.file("fifo")}, {}},
      {"custom", {dir.file("fifo/x")}, {{dir.file("fifo/x"), "Not a directory"}}},
      {"quick", {dir.file("fifo/x")}, {{dir.file("fifo/x"), "Not a directory"}}},
  };
  for (const Case& c : cases) {
    FakeHost h;
    h.run(c.type, c.targets);
    EXPECT_EQ(h.job.state, "done");
    EXPECT_EQ(h.job.scanned, 0);
    EXPECT_GT(h.job.finished, 0);
    EXPECT_EQ(h.job.errors, static_cast<std::int64_t>(c.errors.size())) << c.type;
    ASSERT_EQ(h.job.error_samples.size(), c.errors.size()) << c.type;
    for (std::size_t i = 0; i < c.errors.size(); ++i) {
      EXPECT_EQ(h.job.error_samples[i].path, c.errors[i].first);
      EXPECT_EQ(h.job.error_samples[i].detail, c.errors[i].second);
      EXPECT_EQ(h.job.error_samples[i].verdict, av::Verdict::Error);
      EXPECT_EQ(h.job.error_samples[i].ai_score, -1.0);
    }
  }
}

TEST(ScanJob, WalkSkipsTheQuarantineAndFollowsNoFolderLinks) {
  test::TempDir dir;
  dir.write("root/a.txt", "a");
  dir.write("root/sub/b.txt", "b");
  dir.write("root/quarantine/files/x.qf", "payload");
  dir.write("outside/c.txt", "c");
  symlink(dir.file("outside").c_str(), dir.file("root/link-to-folder").c_str());
  symlink(dir.file("outside/c.txt").c_str(), dir.file("root/link-to-file").c_str());
  FakeHost h;
  h.run("custom", {dir.file("root"), dir.file("root/quarantine")}, dir.file("root/quarantine"));
  std::vector<std::string> seen = h.scanned;
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{dir.file("root/a.txt"), dir.file("root/link-to-file"),
                                            dir.file("root/sub/b.txt")}));
  EXPECT_EQ(h.job.scanned, 3);
  EXPECT_EQ(h.job.errors, 0);
}

TEST(ScanJob, WalkLeavesPseudoFileSystemsAlone) {
  EXPECT_TRUE(is_pseudo_file_system("/proc"));
  EXPECT_TRUE(is_pseudo_file_system("/sys"));
  EXPECT_FALSE(is_pseudo_file_system("/tmp"));
  if (geteuid() != 0) GTEST_SKIP() << "mounting proc below a test folder needs root";
  // A process file system mounted inside an ordinary folder, in a child's own mount namespace.
  test::TempDir dir;
  dir.write("tree/real.txt", "r");
  create_directories(dir.file("tree/mounted-proc"));
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string report;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", dir.file("tree/mounted-proc").c_str(), "proc", 0, nullptr) != 0) {
      report = "SKIP";
    } else {
      FakeHost h;
      h.run("custom", {dir.file("tree")});
      for (const auto& s : h.scanned) report += s + "\n";
    }
    if (write(p[1], report.data(), report.size()) < 0) _exit(3);
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(p[0]);
  waitpid(pid, nullptr, 0);
  if (out == "SKIP") GTEST_SKIP() << "mounting proc is not permitted here";
  EXPECT_EQ(out, dir.file("tree/real.txt") + "\n");
}

TEST(ScanJob, CancellationStopsTheWalkAndCountsTheFileInHand) {
  test::TempDir dir;
  for (int i = 0; i < 10; ++i) dir.write("many/f" + std::to_string(i), "x");
  FakeHost h;
  h.after_scan = [&] { h.cancel = true; };
  h.run("custom", {dir.file("many"), dir.file("many")});
  EXPECT_EQ(h.job.state, "cancelled");
  EXPECT_EQ(h.job.scanned, 1);
  EXPECT_EQ(h.job.current, "");
  EXPECT_GT(h.job.finished, 0);
}

TEST(ScanJob, OnlyScheduledScansQuarantineMalware) {
  test::TempDir dir;
  dir.write("d/evil.com", "x");
  dir.write("d/odd.ps1", "y");
  dir.write("d/fine.txt", "z");
  struct Case {
    const char* type;
    bool auto_quarantine;
    std::size_t quarantined;
    std::size_t recorded;
  } cases[] = {{"scheduled", true, 1, 2}, {"scheduled", false, 0, 2}, {"quick", true, 0, 0}, {"custom", true, 0, 0}};
  for (const Case& c : cases) {
    FakeHost h;
    h.verdicts = {{"evil.com", av::Verdict::Malware}, {"odd.ps1", av::Verdict::Suspicious}};
    h.auto_quarantine = c.auto_quarantine;
    h.run(c.type, {dir.file("d")});
    EXPECT_EQ(h.job.threats, 2) << c.type;
    EXPECT_EQ(h.quarantined.size(), c.quarantined) << c.type << c.auto_quarantine;
    if (c.quarantined) {
      EXPECT_EQ(h.quarantined[0], dir.file("d/evil.com"));
    }
    ASSERT_EQ(h.recorded.size(), c.recorded) << c.type;
    for (const auto& [path, q] : h.recorded) EXPECT_EQ(q, c.quarantined > 0 && path == dir.file("d/evil.com"));
  }
}
