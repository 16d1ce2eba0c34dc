#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/file_system.h"
#include "platform/random.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

std::string hex_of(const Digest& d) { return to_hex(ByteSpan(d.data(), d.size())); }

TEST(Hex, LowerCaseHighNibbleFirstAndEmpty) {
  const std::uint8_t b[] = {0xAB, 0x01, 0xF0};
  EXPECT_EQ(to_hex(ByteSpan(b, 3)), "ab01f0");
  EXPECT_EQ(to_hex(ByteSpan()), "");
  Bytes back;
  ASSERT_TRUE(from_hex("AB01f0", back));
  EXPECT_EQ(back, Bytes(b, b + 3));
  EXPECT_FALSE(from_hex("abc", back));
  EXPECT_FALSE(from_hex("zz", back));
}

TEST(Random, HexTokensAreLowerHexOfTheRightLength) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string t = random_hex(12);
    ASSERT_EQ(t.size(), 24u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(hex_of(sha256(as_bytes(""))), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of(sha256(as_bytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, StreamingInAnyPiecesMatchesOneShot) {
  std::string data(1000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  const Digest whole = sha256(as_bytes(data));
  for (std::size_t piece : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 999u}) {
    Sha256 h;
    std::size_t pos = 0;
    h.update(data.data(), 0);
    while (pos < data.size()) {
      const std::size_t n = std::min(std::max<std::size_t>(piece, 1), data.size() - pos);
      h.update(data.data() + pos, n);
      if (piece == 0) h.update(data.data() + pos, 0);
      pos += n;
    }
    EXPECT_EQ(h.finish(), whole) << "piece size " << piece;
  }
}

TEST(Utf8, MalformedBecomesReplacementAndNeverFails) {
  EXPECT_EQ(utf8_to_wide("a\xff" "b"), std::wstring(L"a\uFFFDb"));
  EXPECT_EQ(utf8_to_wide("\xe2\x82"), std::wstring(L"\uFFFD"));
  EXPECT_EQ(wide_to_utf8(L"\u00e9\U0001F600"), "\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(wide_to_utf8(utf8_to_wide(std::string("x\0y", 3))), std::string("x\0y", 3));
  EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9"));
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_EQ(display_utf8("a\xc0z"), "a\xef\xbf\xbdz");
}

TEST(Clock, NowIsMillisecondsSinceEpoch) {
  const auto t = now_ms();
  EXPECT_GT(t, 1700000000000LL);
  EXPECT_LT(t, 4102444800000LL);
}

std::vector<std::string> temp_leftovers(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().find(".tmp-") != std::string::npos) out.push_back(e.path().string());
  return out;
}

TEST(WriteFileAtomic, EmptyContentNewFoldersAndReplace) {
  test::TempDir dir;
  const std::string target = dir.file("a/b/c/doc.json");
  ASSERT_TRUE(write_file_atomic(target, std::string_view()));
  FileStatus st;
  ASSERT_TRUE(file_status(target, st));
  EXPECT_EQ(st.size, 0);
  ASSERT_TRUE(write_file_atomic(target, std::string_view("new content")));
  EXPECT_EQ(read_whole_file(target), "new content");
  EXPECT_TRUE(temp_leftovers(dir.file("a/b/c")).empty());
}

TEST(WriteFileAtomic, FailedRenameKeepsTargetAndLeavesNoTemporary) {
  test::TempDir dir;
  // A folder in the target's place cannot be replaced by a file.
  const std::string target = dir.file("occupied");
  ASSERT_TRUE(create_directories(target));
  EXPECT_FALSE(write_file_atomic(target, std::string_view("x")));
  EXPECT_TRUE(is_real_directory(target));
  EXPECT_TRUE(temp_leftovers(dir.path()).empty());
}

TEST(WriteFileAtomic, UnwritableParentFails) {
  test::TempDir dir;
  dir.write("file", "x");
  // The parent "folder" is a regular file.
  EXPECT_FALSE(write_file_atomic(dir.file("file/child"), std::string_view("y")));
  EXPECT_EQ(read_whole_file(dir.file("file")), "x");
}

TEST(Paths, JoinParentAndName) {
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("/a", "/abs"), "/abs");
  EXPECT_EQ(join_path("", "rel"), "rel");
  EXPECT_EQ(parent_path("/a/b"), "/a");
  EXPECT_EQ(parent_path("/a"), "/");
  EXPECT_EQ(parent_path("a"), "");
  EXPECT_EQ(file_name("/a/b.txt"), "b.txt");
}

TEST(FolderWalk, DepthFirstSkipsLinksToFoldersAndReportsFiles) {
  test::TempDir dir;
  dir.write("top.txt", "1");
  dir.write("sub/inner.txt", "2");
  dir.write("sub/deeper/leaf.txt", "3");
  dir.write("skip/hidden.txt", "4");
  ASSERT_EQ(symlink(dir.file("sub").c_str(), dir.file("link-to-sub").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("top.txt").c_str(), dir.file("link-to-file").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  std::vector<std::string> files, errors;
  FolderWalk walk;
  walk.descend = [&](const NativePath& p) { return file_name(p) != "skip"; };
  walk.on_file = [&](const NativePath& p) { files.push_back(p.substr(dir.path().size() + 1)); };
  walk.on_error = [&](const NativePath& p, const std::string& m) { errors.push_back(p + ": " + m); };
  walk_folder(dir.path(), walk);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"link-to-file", "sub/deeper/leaf.txt", "sub/inner.txt", "top.txt"}));
  EXPECT_TRUE(errors.empty());
}

TEST(FolderWalk, MissingRootIsReportedAndCancelStops) {
  std::vector<std::string> errors;
  FolderWalk walk;
  walk.on_error = [&](const NativePath&, const std::string& m) { errors.push_back(m); };
  walk_folder("/nonexistent-kav-folder", walk);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Couldn't read folder: ", 0), 0u);

  test::TempDir dir;
  for (int i = 0; i < 10; ++i) dir.write("f" + std::to_string(i), "x");
  int seen = 0;
  FolderWalk cancel;
  cancel.cancelled = [&] { return seen >= 3; };
  cancel.on_file = [&](const NativePath&) { ++seen; };
  walk_folder(dir.path(), cancel);
  EXPECT_EQ(seen, 3);
}

TEST(FileNames, BytesThatAreNotUtf8RoundTrip) {
  test::TempDir dir;
  const std::string odd = dir.file(std::string("bad-\xff\xfe-name.txt"));
  ASSERT_TRUE(write_file_atomic(to_native(odd), std::string_view("payload")));
  EXPECT_EQ(read_whole_file(to_native(from_native(to_native(odd)))), "payload");
  std::vector<std::string> files;
  FolderWalk walk;
  walk.on_file = [&](const NativePath& p) { files.push_back(from_native(p)); };
  walk_folder(dir.path(), walk);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], odd);
}

}  // namespace
