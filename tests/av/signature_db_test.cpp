#include <gtest/gtest.h>

#include <cstring>

#include "av/signature_db.h"
#include "platform/file_system.h"
#include "support/test_support.h"

namespace {

void put(std::string& s, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A feed assembled field by field, so every count and length can be made to lie.
std::string feed(std::uint64_t version, std::uint32_t e, std::uint32_t n, const std::vector<std::string>& names,
                 const std::vector<std::pair<std::uint64_t, std::uint32_t>>& entries) {
  std::string s("AVSG1\0\0\0", 8);
  put(s, version, 8);
  put(s, e, 4);
  put(s, n, 4);
  for (const auto& name : names) {
    put(s, name.size(), 2);
    s += name;
  }
  for (const auto& [key, idx] : entries) {
    put(s, key, 8);
    put(s, idx, 4);
  }
  return s;
}

Digest digest_with_key(std::uint64_t key, std::uint8_t tail = 0) {
  Digest d{};
  for (int i = 0; i < 8; ++i) d[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(key >> (56 - 8 * i));
  for (std::size_t i = 8; i < d.size(); ++i) d[i] = tail;
  return d;
}

struct FeedCase {
  const char* what;
  std::string bytes;
  const char* message;  // nullptr: loads
};

TEST(SignatureDB, ValidityRulesInOrder) {
  const std::string good = feed(7, 2, 1, {"A"}, {{1, 0}, {2, 0}});
  std::vector<FeedCase> cases = {
      {"empty feed, exactly 24 bytes", feed(5, 0, 0, {}, {}), nullptr},
      {"under 8 bytes", "AVSG1", "not a signature feed"},
      {"wrong magic", std::string("AVSG2\0\0\0", 8) + std::string(16, '\0'), "not a signature feed"},
      {"magic only", std::string("AVSG1\0\0\0", 8), "truncated"},
      {"one entry, no names", feed(1, 1, 0, {}, {{1, 0}}), "invalid signature feed counts"},
      {"more names than entries", feed(1, 1, 2, {"a", "b"}, {{1, 0}}), "invalid signature feed counts"},
      {"entry count larger than the file", feed(1, 3, 1, {"A"}, {{1, 0}}), "invalid signature feed counts"},
      {"entry count above the maximum", feed(1, 16000001, 1, {"A"}, {}), "invalid signature feed counts"},
      {"placeholder, replaced below", "", nullptr},
      {"unsorted (unsigned comparison)", feed(1, 2, 1, {"A"}, {{0x8000000000000000ULL, 0}, {1, 0}}),
       "entries not sorted"},
      {"name index out of range", feed(1, 2, 1, {"A"}, {{1, 0}, {2, 1}}), "invalid signature name index"},
      {"trailing byte", good + "x", "unexpected trailing feed data"},
      {"valid", good, nullptr},
  };
  // Build the name-truncation cases precisely: N=2 names declared, first name's text cut off.
  {
    std::string s = feed(1, 3, 2, {}, {});
    put(s, 40, 2);  // claims 40 bytes of name text
    s += std::string(34, 'n');
    cases[8] = {"name text cut off", s, "truncated name"};
    std::string t = feed(1, 3, 2, {"abcdefghijklmnopqrstuvwxyz0123456789"}, {});
    cases.push_back({"second name length missing", t, "truncated names"});
  }
  for (const auto& c : cases) {
    av::SignatureDB db;
    std::string error;
    const bool ok = db.load_bytes(as_bytes(c.bytes), &error);
    if (c.message == nullptr) {
      EXPECT_TRUE(ok) << c.what << ": " << error;
    } else {
      EXPECT_FALSE(ok) << c.what;
      EXPECT_EQ(error, c.message) << c.what;
    }
  }
}

TEST(SignatureDB, TruncatedNamesAndEntries) {
  // N=1, E=1 but the length field itself is missing: 24 header bytes + 12 bytes of entry space,
  // name area holds only part of a name.
  std::string s = feed(1, 1, 1, {}, {});
  s += std::string(1, '\x05');  // half a length field... then 11 more bytes
  s += std::string(11, 'q');
  av::SignatureDB db;
  std::string error;
  EXPECT_FALSE(db.load_bytes(as_bytes(s), &error));
  EXPECT_EQ(error, "truncated name");  // length 0x7105 cannot fit

  std::string t = feed(1, 2, 1, {"Name"}, {{1, 0}});
  t += std::string(6, '\0');  // entry space passes the ratio check, the second entry is cut off
  ASSERT_GE((t.size() - 24) / 12, 2u);
  EXPECT_FALSE(db.load_bytes(as_bytes(t), &error));
  EXPECT_EQ(error, "truncated entries");

  std::string u = feed(1, 0, 0, {}, {});
  // N=0, E=0 with 2 stray bytes.
  u += "zz";
  EXPECT_FALSE(db.load_bytes(as_bytes(u), &error));
  EXPECT_EQ(error, "unexpected trailing feed data");
}

TEST(SignatureDB, LookupUsesTheFirstEightBytesAndTheFirstDuplicate) {
  const std::string bytes = feed(42, 3, 2, {"First", "Second"}, {{5, 0}, {5, 1}, {0xFFFFFFFFFFFFFFFFULL, 1}});
  av::SignatureDB db;
  ASSERT_TRUE(db.load_bytes(as_bytes(bytes)));
  EXPECT_EQ(db.count(), 3u);
  EXPECT_EQ(db.version(), 42u);
  std::string name;
  ASSERT_TRUE(db.lookup(digest_with_key(5, 0xAA), name));
  EXPECT_EQ(name, "First");
  ASSERT_TRUE(db.lookup(digest_with_key(0xFFFFFFFFFFFFFFFFULL), name));
  EXPECT_EQ(name, "Second");
  EXPECT_FALSE(db.lookup(digest_with_key(6), name));
  EXPECT_FALSE(db.lookup(digest_with_key(0), name));
}

TEST(SignatureDB, KeyIsStoredWithTheDigestBytesReversed) {
  Digest d{};
  for (int i = 0; i < 8; ++i) d[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
  const std::string bytes = av::encode_signature_feed(1, {{d, "X"}});
  const std::string expected_key("\x08\x07\x06\x05\x04\x03\x02\x01", 8);
  EXPECT_EQ(bytes.substr(bytes.size() - 12, 8), expected_key);
}

TEST(SignatureDB, FailedLoadKeepsThePreviousFeed) {
  test::TempDir dir;
  av::SignatureDB db;
  const std::string good = av::encode_signature_feed(9, {{digest_with_key(77), "Kept"}});
  const std::string path = dir.write("signatures.avsg", good);
  ASSERT_TRUE(db.load(path));
  std::string error;
  dir.write("broken.avsg", good.substr(0, good.size() - 1));
  EXPECT_FALSE(db.load(dir.file("broken.avsg"), &error));
  EXPECT_EQ(error, "truncated entries");
  EXPECT_FALSE(db.load(dir.file("missing.avsg"), &error));
  EXPECT_EQ(error, "signature feed is unavailable or exceeds 512 MiB");
  EXPECT_FALSE(db.load(dir.path(), &error));  // a folder is not a feed
  EXPECT_EQ(db.count(), 1u);
  EXPECT_EQ(db.version(), 9u);
  std::string name;
  ASSERT_TRUE(db.lookup(digest_with_key(77), name));
  EXPECT_EQ(name, "Kept");
}

TEST(SignatureDB, EmptyDatabaseAnswersNothing) {
  av::SignatureDB db;
  std::string name;
  EXPECT_FALSE(db.lookup(digest_with_key(1), name));
  EXPECT_EQ(db.count(), 0u);
  EXPECT_EQ(db.version(), 0u);
}

TEST(SignatureDB, EncodedFeedsRoundTrip) {
  std::vector<av::FeedEntry> entries;
  for (std::uint64_t k : {9ULL, 3ULL, 0x8000000000000000ULL, 3ULL, 1ULL})
    entries.push_back({digest_with_key(k), "Name" + std::to_string(k % 2)});
  entries[1].name = "ThreeFirst";
  av::SignatureDB db;
  std::string error;
  ASSERT_TRUE(db.load_bytes(as_bytes(av::encode_signature_feed(3, entries)), &error)) << error;
  std::string name;
  ASSERT_TRUE(db.lookup(digest_with_key(3), name));
  EXPECT_EQ(name, "ThreeFirst");
  ASSERT_TRUE(db.lookup(digest_with_key(0x8000000000000000ULL), name));
  EXPECT_EQ(name, "Name0");
}

TEST(BuiltinSignature, EicarAnywhereInSmallBuffersOnly) {
  std::string name;
  EXPECT_TRUE(av::builtin_signature_match(as_bytes(test::eicar()), name));
  EXPECT_EQ(name, "Eicar-Test-Signature");
  const std::string padded_1024 = std::string(500, 'a') + test::eicar() + std::string(1024 - 568, 'b');
  ASSERT_EQ(padded_1024.size(), 1024u);
  EXPECT_TRUE(av::builtin_signature_match(as_bytes(padded_1024), name));
  EXPECT_FALSE(av::builtin_signature_match(as_bytes(padded_1024 + "c"), name));
  EXPECT_FALSE(av::builtin_signature_match(as_bytes(test::eicar().substr(0, 67)), name));
  std::string broken = test::eicar();
  broken[10] = '#';
  EXPECT_FALSE(av::builtin_signature_match(as_bytes(broken), name));
}

}  // namespace
