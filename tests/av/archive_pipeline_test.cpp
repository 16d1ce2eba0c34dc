// The archive step inside the whole pipeline: files scanned through
// av::Scanner::scan_file, and the console scan of the program itself.
#include <gtest/gtest.h>

#include "ai/detector.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "platform/encoding.h"
#include "platform/sha256.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace {

using test::ZipEntry;
using test::zip;

const std::string kDash = " \xE2\x80\x94 ";
const std::string kListed = std::string(3000, 'L');

class ArchivePipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    listed_zip = zip({{.name = "x.txt", .data = "x", .crc = 9}});  // damaged, yet listed as a whole
    ASSERT_TRUE(db->load_bytes(as_bytes(av::encode_signature_feed(
        7, {{sha256(as_bytes(kListed)), "Test.Member"}, {sha256(as_bytes(listed_zip)), "Test.Archive"}}))));
  }
  std::shared_ptr<av::SignatureDB> db = std::make_shared<av::SignatureDB>();
  av::Scanner scanner{db, std::make_shared<ai::Detector>()};
  test::TempDir dir;
  std::string listed_zip;
};

TEST_F(ArchivePipeline, AFeedHitOnTheArchiveEndsTheScanBeforeItIsOpened) {
  const auto r = scanner.scan_file(dir.write("listed.zip", listed_zip));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "Test.Archive");
  EXPECT_EQ(r.inner, "");
  EXPECT_FALSE(r.incomplete);
  EXPECT_EQ(r.file_type, "");
}

TEST_F(ArchivePipeline, MembersGoThroughTheFeedAndKeepTheArchiveFacts) {
  const std::string bytes = zip({{.name = "docs/readme.txt", .data = "hi"}, {.name = "data/blob.bin", .data = kListed}});
  const std::string path = dir.write("a.zip", bytes);
  const auto r = scanner.scan_file(path);
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "Test.Member");
  EXPECT_EQ(r.inner, "data/blob.bin");
  EXPECT_EQ(r.detail, "Inside archive: data/blob.bin" + kDash + "Known malware (signature database)");
  EXPECT_EQ(r.path, path);
  EXPECT_EQ(r.sha256, to_hex(sha256(as_bytes(bytes))));  // the archive's own digest and size
  EXPECT_EQ(r.size, static_cast<std::int64_t>(bytes.size()));
  // A detection is cached like any other result, inner path included.
  EXPECT_EQ(scanner.cache_size(), 1u);
  EXPECT_EQ(scanner.scan_file(path).inner, "data/blob.bin");
}

TEST_F(ArchivePipeline, TheArchiveItselfIsReviewedBeforeItsMembers) {
  // Named like a script, the archive's binary bytes make its own review
  // incomplete; the member's detection still decides the verdict.
  const auto r = scanner.scan_file(dir.write("tool.ps1", zip({{.name = "eicar.com", .data = test::eicar()}})));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.file_type, "PowerShell");
  EXPECT_TRUE(r.incomplete);
  EXPECT_EQ(r.inner, "eicar.com");
  EXPECT_EQ(r.detail.rfind("Inside archive: eicar.com" + kDash, 0), 0u) << r.detail;
}

TEST_F(ArchivePipeline, IncompleteArchivesAreErrorsAndNeverCached) {
  const auto r = scanner.scan_file(dir.write("locked.zip", zip({{.name = "s.txt", .data = "x", .flags = 1}})));
  EXPECT_EQ(r.verdict, av::Verdict::Error);
  EXPECT_EQ(r.detail, "Archive scan incomplete: encrypted, corrupt, or unsupported member: s.txt");
  EXPECT_EQ(scanner.cache_size(), 0u);
}

TEST_F(ArchivePipeline, EveryTopLevelFileHasAFreshBudget) {
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 1500; ++i) entries.push_back({.name = std::to_string(i), .data = "x"});
  const std::string bytes = zip(entries);
  EXPECT_EQ(scanner.scan_file(dir.write("one.zip", bytes)).verdict, av::Verdict::Clean);
  EXPECT_EQ(scanner.scan_file(dir.write("two.zip", bytes)).verdict, av::Verdict::Clean);
}

TEST_F(ArchivePipeline, SwitchingArchivesOffScansTheZipAsAFileOfItsOwn) {
  const std::string path = dir.write("e.zip", zip({{.name = "eicar.com", .data = test::eicar()}}));
  av::ScanOptions o = scanner.options();
  o.scan_archives = false;
  scanner.set_options(o);
  const auto r = scanner.scan_file(path);
  EXPECT_EQ(r.verdict, av::Verdict::Clean);
  EXPECT_EQ(r.inner, "");
}

TEST(ConsoleArchiveScan, DetectionsInsideZipJarAndApkAreReportedAgainstTheArchive) {
  test::TempDir dir;
  const std::string data = dir.file("data");
  const std::string eicar_zip = zip({{.name = "eicar.com", .data = test::eicar()}});
  const std::string plain = dir.write("scan/plain.zip", eicar_zip);
  const std::string nested = dir.write("scan/nested.zip", zip({{.name = "inner.zip", .data = eicar_zip}}));
  const std::string jar = dir.write(
      "scan/app.jar", zip({{.name = "META-INF/", .data = "", .method = 0},
                           {.name = "META-INF/MANIFEST.MF", .data = "Manifest-Version: 1.0\r\nMain-Class: com.x.Main\r\n"},
                           {.name = "com/x/Evil.class", .data = test::eicar()}}));
  const std::string apk = dir.write(
      "scan/app.apk", zip({{.name = "AndroidManifest.xml", .data = std::string("\x03\x00\x08\x00", 4) + std::string(200, '\0')},
                           {.name = "classes.dex", .data = std::string("dex\n035\0", 8) + std::string(400, '\x01')},
                           {.name = "assets/payload.bin", .data = test::eicar()}}));
  const std::string locked = dir.write("scan/locked.zip", zip({{.name = "secret.txt", .data = "x", .flags = 1}}));

  const test::RunResult r = test::run({KAV_EXE, "--scan", plain, nested, jar, apk, locked}, {"AV_DATA_DIR=" + data});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string known = "Known malware (signature database)";
  for (const auto& [path, inner] : std::vector<std::pair<std::string, std::string>>{
           {plain, "eicar.com"}, {jar, "com/x/Evil.class"}, {apk, "assets/payload.bin"}}) {
    EXPECT_NE(r.out.find("MALWARE  " + path + "  [Eicar-Test-Signature] Inside archive: " + inner + kDash + known + "\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_NE(r.out.find("MALWARE  " + nested + "  [Eicar-Test-Signature] Inside archive: inner.zip!eicar.com" + kDash +
                       "Inside archive: eicar.com" + kDash + known + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("ERROR  " + locked +
                       "  Archive scan incomplete: encrypted, corrupt, or unsupported member: secret.txt\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("4 threat(s) found, 1 scan error(s).\n"), std::string::npos) << r.out;
}

}  // namespace
