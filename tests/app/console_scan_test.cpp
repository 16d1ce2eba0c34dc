#include <gtest/gtest.h>

#include "av/quarantine.h"
#include "platform/encoding.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

std::string digest_of(const std::string& content) {
  const Digest d = sha256(as_bytes(content));
  return to_hex(ByteSpan(d.data(), d.size()));
}

}  // namespace

TEST(ConsoleScanQuarantine, EicarIsQuarantinedAndRestoresWithTheSameDigest) {
  for (const std::string& name : {std::string("eicar.com"), std::string("eicar-\xff\xfe.com")}) {
    test::TempDir dir;
    const std::string data = dir.file("data");
    const std::string evil = dir.write("scan/" + name, test::eicar());
    const std::string clean = dir.write("scan/notes.txt", "nothing to see");
    const std::string before = digest_of(read_whole_file(evil));

    const test::RunResult r = test::run({KAV_EXE, "--scan", dir.file("scan"), "--quarantine"}, {"AV_DATA_DIR=" + data});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("MALWARE  " + evil + "  [Eicar-Test-Signature] Known malware (signature database)\n"
                         "  quarantined\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("clean  " + clean + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 threat(s) found, 0 scan error(s).\n"), std::string::npos) << r.out;
    EXPECT_FALSE(path_exists(evil));

    // The data directory's own quarantine is never rescanned.
    const test::RunResult again = test::run({KAV_EXE, "--scan", data}, {"AV_DATA_DIR=" + data});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(again.out.find(".qf"), std::string::npos) << again.out;

    av::Quarantine q(data + "/quarantine");
    const auto items = q.list();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].original_path, evil);
    EXPECT_EQ(items[0].sha256, before);
    std::string message;
    ASSERT_TRUE(q.restore(items[0].id, message)) << message;
    EXPECT_EQ(digest_of(read_whole_file(evil)), before);
    EXPECT_TRUE(q.list().empty());
  }
}

TEST(ConsoleScanQuarantine, SuspiciousAndUnquarantinableDetectionsAreReported) {
  test::TempDir dir;
  const std::string data = dir.file("data");
  const std::string evil = dir.write("scan/eicar.com", test::eicar());
  // A file inside the quarantine folder is detected but can never be taken.
  const std::string planted = dir.write("data/quarantine/eicar.com", test::eicar());
  const test::RunResult r =
      test::run({KAV_EXE, "--scan", evil, planted, dir.file("missing"), "--quarantine"}, {"AV_DATA_DIR=" + data});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("MALWARE  " + planted + "  [Eicar-Test-Signature] Known malware (signature database)\n"
                       "  (could not quarantine)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 threat(s) found, 1 scan error(s).\n"), std::string::npos) << r.out;
  EXPECT_TRUE(path_exists(planted));
  EXPECT_FALSE(path_exists(evil));
}
