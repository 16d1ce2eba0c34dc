#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "av/signature_db.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

const char* const kHelp =
    "Keltharon Antivirus 1.0.14\n"
    "\n"
    "  keltharon-antivirus                 open the app\n"
    "  keltharon-antivirus --browser       open the app in your web browser\n"
    "  keltharon-antivirus --scan PATH...  scan files or folders (CLI)\n"
    "      --quarantine     move anything found into quarantine\n"
    "  keltharon-antivirus --service       run real-time protection headless\n"
    "                                      (Linux: run as root to block, not just detect)\n"
    "  keltharon-antivirus --update        download the latest signatures\n"
    "  keltharon-antivirus --version\n"
    "\n"
    "Scan exit codes: 0 = no threats or errors, 1 = threats found,\n"
    "                 2 = scan errors with no threats (or no paths supplied).\n";

class Cli : public ::testing::Test {
 protected:
  test::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), KAV_EXE);
    return test::run(args, {"AV_DATA_DIR=" + data.path()});
  }
  test::TempDir data;
  test::TempDir files;
};

struct ArgCase {
  std::vector<std::string> args;
  int status;
  std::string out;
};

TEST_F(Cli, OptionsActWhereTheyStand) {
  const std::string f = files.write("x.txt", "x");
  const std::vector<ArgCase> cases = {
      {{"--version"}, 0, "1.0.14\n"},
      {{"--version", "--scan", f}, 0, "1.0.14\n"},
      {{"--scan", f, "--version"}, 0, "1.0.14\n"},
      {{"--help"}, 0, kHelp},
      {{"-h", "--gui-smoke-test"}, 0, kHelp},
      {{"--gui-smoke-test"}, 2, ""},
      {{"--gui-smoke-test", ""}, 2, ""},
      {{"--gui-smoke-test", "report.json", "--scan", f}, 2, ""},
      {{"--gui-smoke-test", "r.json", "--update"}, 2, ""},
      {{"--scan"}, 2, ""},
      {{"--scan", "--HELP", "-x", "", f}, 0, "clean  " + f + "\n0 threat(s) found, 0 scan error(s).\n"},
      {{"--service", "--scan", f}, 0, "clean  " + f + "\n0 threat(s) found, 0 scan error(s).\n"},
      {{"--browser", "--scan", f}, 0, "clean  " + f + "\n0 threat(s) found, 0 scan error(s).\n"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    EXPECT_EQ(r.status, c.status) << joined << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << joined;
  }
  const auto none = run({"--scan"});
  EXPECT_EQ(none.err, "No paths supplied. Use --scan PATH... to scan files or folders.\n");
  EXPECT_TRUE(run({"--gui-smoke-test"}).err.empty());
}

TEST_F(Cli, ScanOfATreeWithThreatsCleanFilesAndErrors) {
  // A feed in the data directory lists one harmless sample by its digest.
  const std::string sample = "a harmless file that the test feed lists\n";
  const std::string feed = av::encode_signature_feed(4102444800ULL, {{sha256(as_bytes(sample)), "Test.Listed.Sample"}});
  data.write("signatures.avsg", feed);
  files.write("tree/eicar.com", test::eicar());
  files.write("tree/deeper/listed.bin", sample);
  files.write("tree/clean.txt", "nothing to see");
  const auto r = run({"--scan", files.file("tree"), files.file("missing.txt")});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("MALWARE  " + files.file("tree/eicar.com") + "  [Eicar-Test-Signature] Matched a built-in signature\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("MALWARE  " + files.file("tree/deeper/listed.bin") +
                       "  [Test.Listed.Sample] Known malware (signature database)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("clean  " + files.file("tree/clean.txt") + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("ERROR  " + files.file("missing.txt") + "  Not a readable regular file\n"), std::string::npos);
  const std::string tail = "2 threat(s) found, 1 scan error(s).\nScan incomplete: some files could not be fully scanned.\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

TEST_F(Cli, CleanFilesExitZeroAndOnlyErrorsExitTwo) {
  const std::string a = files.write("a.txt", "alpha");
  const std::string b = files.write("b.txt", "beta");
  auto r = run({"--scan", a, b});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "clean  " + a + "\nclean  " + b + "\n0 threat(s) found, 0 scan error(s).\n");
  r = run({"--scan", files.file("nope"), files.path() + "/gone/also"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "ERROR  " + files.file("nope") + "  Not a readable regular file\nERROR  " + files.path() +
                       "/gone/also  Not a readable regular file\n0 threat(s) found, 2 scan error(s).\n"
                       "Scan incomplete: some files could not be fully scanned.\n");
}

TEST_F(Cli, UnreadableFilesAreErrorsForAnUnprivilegedUser) {
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  const std::string secret = files.write("secret.txt", "x");
  const std::string open = files.write("open.txt", "y");
  ASSERT_EQ(chmod(secret.c_str(), 0), 0);
  ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(data.path().c_str(), 0777), 0);
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   KAV_EXE, "--scan", secret, open};
  if (geteuid() != 0) argv.erase(argv.begin(), argv.begin() + 4);
  const auto r = test::run(argv, {"AV_DATA_DIR=" + data.path()});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_EQ(r.out, "ERROR  " + secret + "  Couldn't open the file\nclean  " + open +
                       "\n0 threat(s) found, 1 scan error(s).\nScan incomplete: some files could not be fully scanned.\n");
}

TEST_F(Cli, SpecialFilesInAFolderNeverBlockTheScan) {
  files.write("dir/eicar.com", test::eicar());
  ASSERT_EQ(mkfifo(files.file("dir/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/nonexistent", files.file("dir/dangling").c_str()), 0);
  const auto r = run({"--scan", files.file("dir"), files.file("dir/pipe")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR  " + files.file("dir/pipe") + "  Not a readable regular file\n"), std::string::npos);
  EXPECT_NE(r.out.find("1 threat(s) found, 1 scan error(s).\n"), std::string::npos) << r.out;
}

}  // namespace
