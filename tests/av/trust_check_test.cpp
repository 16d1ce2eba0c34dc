#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "av/authenticode_verifier.h"
#include "av/package_catalog.h"
#include "av/trust_check.h"
#include "platform/encoding.h"
#include "support/test_support.h"

namespace {

// A test root, a publisher certificate issued by it, and a tiny Windows program
// compiled here and signed with the publisher's key by an independent signing tool.
class SignedFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"openssl", "osslsigncode", "x86_64-w64-mingw32-gcc"})
      if (!test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    const std::string d = dir.path();
    dir.write("hello.c", "int main(void) { return 42; }\n");
    dir.write("leaf.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n");
    ASSERT_EQ(test::sh("cd " + d + " && x86_64-w64-mingw32-gcc -O1 -o hello.exe hello.c"), 0);
    ASSERT_EQ(test::sh("cd " + d +
                 " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650"
                 " -subj '/CN=Keltharon Test Root' -addext basicConstraints=critical,CA:TRUE"
                 " -addext keyUsage=critical,keyCertSign,cRLSign"
                 " && openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr"
                 " -subj '/CN=Keltharon Test Publisher/O=Keltharon Test'"
                 " && openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out leaf.pem"
                 " -days 365 -extfile leaf.ext"
                 " && osslsigncode sign -h sha256 -certs leaf.pem -key leaf.key -in hello.exe -out signed.exe"),
              0);
    signed_image = read_whole_file(dir.file("signed.exe"));
    ASSERT_GT(signed_image.size(), 1000u);
  }
  test::TempDir dir;
  std::string signed_image;
};

TEST_F(SignedFixture, AValidSignatureFromATrustedRootPasses) {
  std::string signer;
  EXPECT_TRUE(av::verify_authenticode(as_bytes(signed_image), av::TrustStore{dir.file("ca.pem"), ""}, signer));
  EXPECT_EQ(signer, "Keltharon Test Publisher");
}

TEST_F(SignedFixture, AnUntrustedRootFails) {
  std::string signer;
  EXPECT_FALSE(av::verify_authenticode(as_bytes(signed_image), av::TrustStore{}, signer));  // system store
  EXPECT_FALSE(av::is_signed_by_trusted_publisher(dir.file("signed.exe"), signer));
}

TEST_F(SignedFixture, TamperedOrUnsignedImagesFail) {
  std::string signer;
  const av::TrustStore store{dir.file("ca.pem"), ""};
  // A byte of the program changed after signing.
  std::string code = signed_image;
  code[0x400 + 16] = static_cast<char>(code[0x400 + 16] ^ 0x5A);
  EXPECT_FALSE(av::verify_authenticode(as_bytes(code), store, signer));
  // The signature blob itself damaged.
  std::string blob = signed_image;
  blob[blob.size() - 40] = static_cast<char>(blob[blob.size() - 40] ^ 0x01);
  EXPECT_FALSE(av::verify_authenticode(as_bytes(blob), store, signer));
  // Trailing bytes appended after the certificate table are outside the signed range.
  EXPECT_FALSE(av::verify_authenticode(as_bytes(signed_image + std::string(16, 'T')), store, signer));
  EXPECT_FALSE(av::verify_authenticode(as_bytes(read_whole_file(dir.file("hello.exe"))), store, signer));
  // Truncations at every 97th byte never crash and never pass.
  for (std::size_t n = 0; n < signed_image.size(); n += 97)
    EXPECT_FALSE(av::verify_authenticode(as_bytes(std::string_view(signed_image).substr(0, n)), store, signer)) << n;
}

TEST(PackageCatalog, ListedPathWithMatchingDigestOnly) {
  test::TempDir dir;
  const std::string owned = dir.write("installed/tool", "original bytes\n");
  const std::string copy = dir.write("elsewhere/tool", "original bytes\n");
  FILE* p = popen(("md5sum '" + owned + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[64] = {};
  ASSERT_EQ(fread(buf, 1, 32, p), 32u);
  pclose(p);
  dir.write("info/sample-pkg:amd64.md5sums", std::string(buf, 32) + "  " + owned.substr(1) + "\n" +
                                                 "not a line\n" + std::string(32, 'z') + "  bad/digest\n");
  av::PackageCatalog catalog(dir.file("info"));
  std::string package;
  EXPECT_TRUE(catalog.verify(owned, package));
  EXPECT_EQ(package, "sample-pkg");
  EXPECT_FALSE(catalog.verify(copy, package));  // same bytes, path not listed
  dir.write("installed/tool", "modified bytes\n");
  EXPECT_FALSE(catalog.verify(owned, package));  // listed path, content changed
  av::PackageCatalog missing(dir.file("no-such-database"));
  EXPECT_FALSE(missing.verify(owned, package));
}

TEST(PackageCatalog, TheSystemDatabaseVouchesForItsOwnFiles) {
  if (access("/var/lib/dpkg/info/coreutils.md5sums", R_OK) != 0) GTEST_SKIP() << "no Debian package database";
  std::string publisher;
  EXPECT_TRUE(av::is_signed_by_trusted_publisher("/bin/ls", publisher));
  EXPECT_EQ(publisher, "coreutils (Debian package)");
  test::TempDir dir;
  const std::string copy = dir.write("ls", read_whole_file("/bin/ls") + "x");
  EXPECT_FALSE(av::is_signed_by_trusted_publisher(copy, publisher));
}

TEST(OperatingSystemFile, PrefixesEndAtAFolderBoundary) {
  const std::pair<const char*, bool> cases[] = {
      {"/usr/bin/ls", true},         {"/bin/sh", true},       {"/lib/x86_64-linux-gnu/libc.so.6", true},
      {"/lib64/ld-linux.so.2", true}, {"/boot/vmlinuz", true}, {"/opt/app/run", true},
      {"/usrlocal/evil", false},     {"/optional/x", false},  {"/library/x", false},
      {"/home/u/usr/bin/x", false},  {"usr/bin/ls", false},   {"/usr/../tmp/evil", false},
      {"/USR/bin/ls", false},        {"/tmp/x", false},       {"/usr", false},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(av::is_operating_system_file(path), want) << path;
}

}  // namespace
