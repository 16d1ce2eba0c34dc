#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <fcntl.h>

#include "ai/detector.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "platform/encoding.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_shared<av::SignatureDB>();
    const Digest listed = sha256(as_bytes(listed_content));
    ASSERT_TRUE(db->load_bytes(as_bytes(av::encode_signature_feed(100, {{listed, "Test.Listed"}}))));
    scanner = std::make_shared<av::Scanner>(db, std::make_shared<ai::Detector>());
  }
  std::shared_ptr<av::SignatureDB> db;
  std::shared_ptr<av::Scanner> scanner;
  test::TempDir dir;
  const std::string listed_content = std::string(4096, 'L');
};

TEST_F(ScannerTest, EicarIsABuiltInDetection) {
  const auto r = scanner->scan_file(dir.write("eicar.com", test::eicar()));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "Eicar-Test-Signature");
  EXPECT_EQ(r.detail, "Matched a built-in signature");
  EXPECT_EQ(r.sha256, to_hex(sha256(as_bytes(test::eicar()))));
  EXPECT_EQ(r.ai_score, -1.0);
  EXPECT_EQ(r.file_type, "");
  EXPECT_EQ(r.size, 68);
}

TEST_F(ScannerTest, FeedHitAndCleanFile) {
  auto r = scanner->scan_file(dir.write("listed.bin", listed_content));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "Test.Listed");
  EXPECT_EQ(r.detail, "Known malware (signature database)");
  r = scanner->scan_file(dir.write("plain.txt", "hello"));
  EXPECT_EQ(r.verdict, av::Verdict::Clean);
  EXPECT_EQ(r.detail, "");
  EXPECT_EQ(r.sha256.size(), 64u);
  const Json j = av::to_json(r);
  EXPECT_EQ(j.size(), 10u);
  EXPECT_EQ(j["verdict"], "clean");
  EXPECT_EQ(j["size"], 5);
}

TEST_F(ScannerTest, ThingsThatAreNotRegularFilesAreErrors) {
  ASSERT_TRUE(create_directories(dir.file("folder")));
  ASSERT_EQ(symlink(dir.file("nothing").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock = dir.file("sock");
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  for (const std::string& p : {dir.file("folder"), dir.file("missing"), dir.file("dangling"), dir.file("fifo"), sock,
                               std::string("/dev/null"), std::string("")}) {
    const auto r = scanner->scan_file(p);
    EXPECT_EQ(r.verdict, av::Verdict::Error) << p;
    EXPECT_EQ(r.detail, "Not a readable regular file") << p;
    EXPECT_EQ(r.path, p);
  }
  close(s);
  EXPECT_EQ(scanner->cache_size(), 0u);  // errors are never cached
}

TEST_F(ScannerTest, LinkToARegularFileIsScannedAsThatFile) {
  dir.write("real.com", test::eicar());
  ASSERT_EQ(symlink(dir.file("real.com").c_str(), dir.file("link.com").c_str()), 0);
  const auto r = scanner->scan_file(dir.file("link.com"));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.path, dir.file("link.com"));
}

TEST_F(ScannerTest, FilesAboveTheContentLimitAreOnlyHashed) {
  av::ScanOptions o;
  o.max_content_bytes = 1000;
  scanner->set_options(o);
  // The EICAR string is inside, but content is not examined past the limit.
  const std::string big = test::eicar() + std::string(2000, ' ');
  auto r = scanner->scan_file(dir.write("big.txt", big));
  EXPECT_EQ(r.verdict, av::Verdict::Error);
  EXPECT_EQ(r.detail, "Signature hash checked; content scan skipped because the file exceeds the size limit");
  EXPECT_EQ(r.sha256, to_hex(sha256(as_bytes(big))));
  r = scanner->scan_file(dir.write("listed.bin", listed_content));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "Test.Listed");
  o.max_content_bytes = -1;  // nothing is examined by content
  scanner->set_options(o);
  r = scanner->scan_file(dir.write("tiny.com", test::eicar()));
  EXPECT_EQ(r.verdict, av::Verdict::Error);
  EXPECT_NE(r.detail.find("size limit"), std::string::npos);
}

TEST_F(ScannerTest, AFileThatGrowsWhileReadIsAnError) {
  // Kernel status files report size 0 yet produce content: the read finds more
  // bytes than the size taken at the start.
  const auto r = scanner->scan_file("/proc/self/status");
  EXPECT_EQ(r.verdict, av::Verdict::Error);
  EXPECT_EQ(r.detail, "Couldn't read the complete file, or the file changed during scanning");
}

TEST_F(ScannerTest, UnchangedFilesComeFromTheCacheUntilOptionsChange) {
  const std::string path = dir.write("doc.txt", std::string(68, 'a'));
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  EXPECT_EQ(scanner->scan_file(path).verdict, av::Verdict::Clean);
  EXPECT_EQ(scanner->cache_size(), 1u);
  // Same size and last-write time, different content: the cache answers.
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, test::eicar().data(), 68), 68);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(futimens(fd, times), 0);
  close(fd);
  EXPECT_EQ(scanner->scan_file(path).verdict, av::Verdict::Clean);
  // Setting options, even the same ones, empties the cache.
  scanner->set_options(scanner->options());
  EXPECT_EQ(scanner->cache_size(), 0u);
  EXPECT_EQ(scanner->scan_file(path).verdict, av::Verdict::Malware);
  // A new feed version invalidates entries recorded under the old one.
  const std::string other = dir.write("other.bin", "other content");
  EXPECT_EQ(scanner->scan_file(other).verdict, av::Verdict::Clean);
  ASSERT_TRUE(db->load_bytes(as_bytes(av::encode_signature_feed(101, {{sha256(as_bytes("other content")), "New"}}))));
  EXPECT_EQ(scanner->scan_file(other).name, "New");
}

TEST_F(ScannerTest, NamesThatAreNotUtf8AreScannedAndKeptExactly) {
  const std::string odd = dir.file(std::string("\xff\xfe-eicar.com"));
  ASSERT_TRUE(write_file_atomic(odd, test::eicar()));
  const auto r = scanner->scan_file(to_native(odd));
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.path, odd);
  EXPECT_FALSE(dump_json(av::to_json(r)).empty());  // JSON output never throws on such names
}

}  // namespace
