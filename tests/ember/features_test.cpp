#include "ember/features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <cmath>
#include <random>
#include <string>

#include "ember/feature_hasher.h"

namespace {

std::vector<float> features_of(const std::string& s, ember::FeatureInfo* info = nullptr) {
  return ember::extract_features(as_bytes(s), info);
}

std::string ramp(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i & 0xFF);
  return s;
}

TEST(Features, HundredByteTextFile) {
  std::string text;
  while (text.size() < 100) text += "hello world ";
  text.resize(100);
  ember::FeatureInfo info;
  info.kind = ember::FileKind::PDF;  // overwritten
  info.section_count = 7;
  const auto v = features_of(text, &info);
  ASSERT_EQ(v.size(), 2568u);
  // General: size, entropy, not PE, first four bytes.
  EXPECT_EQ(v[0], 100.0f);
  double h = 0;
  for (const char c : std::string("helo wrd")) {
    const double n = static_cast<double>(std::count(text.begin(), text.end(), c));
    h -= n / 100 * std::log2(n / 100);
  }
  EXPECT_NEAR(v[1], h, 1e-6);
  EXPECT_NEAR(info.entropy, h, 1e-12);
  EXPECT_EQ(v[2], 0.0f);
  EXPECT_EQ(v[3], 'h');
  EXPECT_EQ(v[4], 'e');
  EXPECT_EQ(v[5], 'l');
  EXPECT_EQ(v[6], 'l');
  // Byte histogram: 8 units of "hello world " and "hell" hold 26 'l'.
  EXPECT_FLOAT_EQ(v[7 + 'l'], 26.0f / 100.0f);
  EXPECT_EQ(v[7 + 'z'], 0.0f);
  // One window over the whole file, denominator 2048: a low entropy row.
  float table_sum = 0;
  for (int i = 0; i < 256; ++i) table_sum += v[263 + i];
  EXPECT_FLOAT_EQ(table_sum, 1.0f);
  const int low_entropy_row = 1;  // nibbles 6, 7, 2 = 68, 16, 16 of 2048: int(4 * D) = 1
  EXPECT_GT(v[263 + 16 * low_entropy_row + 6], 0.0f);
  // Every PE group is zero.
  for (std::size_t i = 696; i < 2568; ++i) ASSERT_EQ(v[i], 0.0f) << i;
  EXPECT_FALSE(info.is_pe);
  EXPECT_EQ(info.kind, ember::FileKind::Other);
  EXPECT_EQ(info.section_count, 0);
}

TEST(Features, ShortInputsAndEmpty) {
  const auto v = features_of("ab");
  EXPECT_EQ(v[0], 2.0f);
  EXPECT_EQ(v[3], 'a');
  EXPECT_EQ(v[4], 'b');
  EXPECT_EQ(v[5], 0.0f);
  EXPECT_EQ(v[6], 0.0f);
  EXPECT_FLOAT_EQ(v[7 + 'a'], 0.5f);
  ember::FeatureInfo info;
  const auto e = ember::extract_features(ByteSpan(), &info);
  ASSERT_EQ(e.size(), 2568u);
  EXPECT_EQ(e[0], 0.0f);
  EXPECT_EQ(e[1], 0.0f);
  EXPECT_TRUE(std::isnan(e[7]));  // 0/0 in the byte histogram
  EXPECT_EQ(info.entropy, 0.0);
}

TEST(Features, ByteEntropyWindows) {
  // All 'a' (nibble 6) in one short window: p = 100/2048, D ~ 0.21 -> row 0.
  auto v = features_of(std::string(100, 'a'));
  EXPECT_FLOAT_EQ(v[263 + 6], 1.0f);
  // 4095 bytes: windows at 0 and 1024 only, both with every nibble 128 times
  // (D = 4 -> 16, clamped to row 15); the zero tail is never in a window.
  std::string s = ramp(3072) + std::string(1023, '\0');
  v = features_of(s);
  for (int k = 0; k < 16; ++k) EXPECT_FLOAT_EQ(v[263 + 16 * 15 + k], 1.0f / 16) << k;
  // 4096 bytes: a third window at 2048 holds 1024 zeros: nibble 0 = 1088 of 2048.
  s.push_back('\0');
  v = features_of(s);
  EXPECT_FLOAT_EQ(v[263 + 16 * 15], 256.0f / 6144.0f);
  float other_rows = 0;
  for (int i = 0; i < 16 * 15; ++i) other_rows += v[263 + i];
  EXPECT_FLOAT_EQ(other_rows, 2048.0f / 6144.0f);
  // 2048 bytes exactly: one window at 0.
  v = features_of(ramp(2048));
  for (int k = 0; k < 16; ++k) EXPECT_FLOAT_EQ(v[263 + 16 * 15 + k], 1.0f / 16);
}

TEST(Features, StringCountsAndDistribution) {
  const std::string s = std::string("abcde\x01") + "ab\x01" + "abcdefg" + "\x80" + "ZZZZ\x7F";
  const auto v = features_of(s);
  const float* g = v.data() + 519;
  // "abcde", "abcdefg" and "ZZZZ\x7F" (0x7F is printable); "ab" is too short.
  EXPECT_EQ(g[0], 3.0f);
  EXPECT_FLOAT_EQ(g[1], 17.0f / 3.0f);
  EXPECT_EQ(g[2], 17.0f);
  EXPECT_FLOAT_EQ(g[3 + ('a' - 0x20)], 2.0f / 17.0f);
  EXPECT_FLOAT_EQ(g[3 + ('Z' - 0x20)], 4.0f / 17.0f);
  EXPECT_FLOAT_EQ(g[3 + (0x7F - 0x20)], 1.0f / 17.0f);
  double h = 0;
  for (const double c : {2, 2, 2, 2, 2, 1, 1, 4, 1}) h -= c / 17 * std::log2(c / 17);
  EXPECT_NEAR(g[99], h, 1e-6);
  const auto none = features_of(std::string("\x01\x02\x03" "ab\x01", 6));
  for (int i = 0; i < 177; ++i) EXPECT_EQ(none[519 + i], 0.0f) << i;
}

// Runs are found 64 bytes at a time; a plain byte-by-byte count must agree
// for runs of every length at every offset, across block edges.
TEST(Features, StringRunsAgreeWithAByteByByteCount) {
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = rng() % 700;
    const unsigned printable_percent = 30 + rng() % 70;
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() % 100 < printable_percent ? 0x20 + rng() % 96 : (rng() % 2 ? rng() % 32 : 0x80 + rng() % 128));
    std::size_t count = 0, total = 0, run = 0;
    std::vector<std::size_t> bins(96, 0);
    for (std::size_t i = 0; i <= n; ++i) {
      const unsigned char c = i < n ? static_cast<unsigned char>(s[i]) : 0;
      if (i < n && c >= 0x20 && c <= 0x7F) {
        ++run;
        continue;
      }
      if (run >= 5) {
        ++count;
        total += run;
        for (std::size_t k = i - run; k < i; ++k) ++bins[static_cast<unsigned char>(s[k]) - 0x20];
      }
      run = 0;
    }
    const auto v = features_of(s);
    ASSERT_EQ(v[519], static_cast<float>(count)) << round;
    ASSERT_EQ(v[521], static_cast<float>(total)) << round;
    for (std::size_t k = 0; k < 96; ++k) {
      ASSERT_FLOAT_EQ(v[522 + k], total ? static_cast<float>(static_cast<double>(bins[k]) / static_cast<double>(total)) : 0.0f) << round;
    }
  }
}

// Row of the Strings group's pattern counters by label.
int row(const std::string& label) {
  static const char* const kLabels[77] = {
      ".click(", "/EmbeddedFile", "/FlateDecode", "/URI", "/bin/", "/dev/", "/proc/", "/tmp/", "/usr/", "<script",
      "Invoke-Command", "Invoke-Expression", "Start-process", "base64", "base64string", "btc_wallet", "cache",
      "certificate", "clipboard", "command", "connect", "cookie", "create", "crypt", "debug", "decode", "delete",
      "desktop", "directory", "disk", "dos_msg", "download", "email_addr", "encode", "enum", "environment", "exit",
      "file", "file_path", "ftp", "get", "hidden", "hostname", "html", "http", "http://", "https://", "install",
      "internet", "ipv4_addr", "ipv6_addr", "javascript", "keyboard", "mac_addr", "memory", "module", "mutex",
      "onlick", "password", "post", "powershell", "privilege", "process", "registry_key", "remote", "resource",
      "security", "service", "shell", "snapshot", "system", "thread", "token", "url", "useragent", "wallet", "window"};
  for (int i = 0; i < 77; ++i) {
    if (label == kLabels[i]) return i;
  }
  ADD_FAILURE() << "no row " << label;
  return 0;
}

struct PatternCase {
  std::string text;
  std::vector<std::string> rows;  // labels that must count 1
  std::vector<std::string> not_rows;
};

TEST(Features, StringPatternTable) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz012345678";
  const std::vector<PatternCase> cases = {
      {"ip 10.0.0.1 here", {"ipv4_addr"}, {}},
      {"ip 10.0.0.256 x", {}, {"ipv4_addr"}},
      {"ver 1.2.3 x", {}, {"ipv4_addr"}},
      {"n 1234.1.1.1 x", {}, {"ipv4_addr"}},
      {"a10.0.0.1 x", {}, {"ipv4_addr"}},
      {"10.0.0.1.5", {"ipv4_addr"}, {}},
      {"addr fe80::1", {"ipv6_addr"}, {}},
      {"2001:0db8:0000:0000:0000:ff00:0042:8329", {"ipv6_addr"}, {}},
      {"xx:1:2 ", {"ipv6_addr"}, {}},
      {"aa:bb:cc:dd:ee:ff", {"mac_addr", "email_addr"}, {}},
      {"AA-BB-CC-DD-EE-FF", {"mac_addr", "email_addr"}, {}},
      {"AA-BB:CC-DD:EE-FF", {"mac_addr", "email_addr"}, {}},
      {"AA-BB-CC-DD-EE-FFF", {}, {"mac_addr", "email_addr"}},
      {"see http://example.com", {"url", "http://"}, {}},
      {"see HTTP://example.com", {"http://"}, {"url"}},
      {"xhttp://example.com", {"http://"}, {"url"}},
      {"http:// spaced", {"http://"}, {"url"}},
      {"go ftp://host", {"url", "ftp"}, {}},
      {"C:/Windows", {"file_path"}, {}},
      {"xC:/Windows", {}, {"file_path"}},
      {"C:\\Windows", {}, {"file_path"}},
      {"HKEY_LOCAL_MACHINE", {"registry_key"}, {}},
      {"at HKLM\\Soft", {"registry_key"}, {}},
      {"xHKCU\\Soft", {}, {"registry_key"}},
      {"1A1zP1eP5QGefi2DMPTfTL5SLmv7Divf", {"btc_wallet"}, {}},
      {"3" + std::string(25, 'z'), {"btc_wallet"}, {}},
      {"x1" + std::string(25, 'Z') + "!", {"btc_wallet"}, {}},
      {"1" + std::string(24, 'z'), {}, {"btc_wallet"}},
      {"1" + std::string(24, 'z') + "l", {}, {"btc_wallet"}},
      {"3" + std::string(12, 'z') + "0" + std::string(12, 'z'), {}, {"btc_wallet"}},
      {"click here", {}, {".click("}},
      {"x.click()", {".click("}, {}},
      {"onClick=go()", {"onlick", ".click("}, {}},
      {alphabet + "9/", {"base64string"}, {}},
      {alphabet + "999/", {"base64string"}, {}},
      {alphabet + "/", {}, {"base64string"}},
      {alphabet + "9", {}, {"base64string"}},
      {"PowerShell -enc", {"powershell", "shell"}, {}},
      {"CRYPT32", {}, {"crypt"}},
      {"CryptAcquire", {}, {"crypt"}},
      {"libcrypto", {"crypt"}, {}},
      {"!This program cannot be run", {"dos_msg"}, {}},
      {"!This programs", {}, {"dos_msg"}},
      {"Invoke-Expression $x", {"Invoke-Expression"}, {"Invoke-Command"}},
      {"GET /index.html HTTP/1.1", {"get", "html", "http"}, {"post"}},
      {"User-Agent: x", {"useragent"}, {}},
      {"/usr/bin/env", {"/usr/", "/bin/"}, {"/tmp/"}},
      {"<SCRIPT src=", {"<script"}, {}},
  };
  for (const PatternCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto v = features_of("\x01" + c.text + "\x01");
    ASSERT_EQ(v[519], 1.0f);
    const float* p = v.data() + 519 + 100;
    for (const std::string& r : c.rows) EXPECT_EQ(p[row(r)], 1.0f) << r;
    for (const std::string& r : c.not_rows) EXPECT_EQ(p[row(r)], 0.0f) << r;
    EXPECT_EQ(p[row("mac_addr")], p[row("email_addr")]);
  }
  // A string counts once per pattern; each string counts on its own.
  const auto v = features_of("cache cache cache\x01" "no cache\x01" "nothing");
  EXPECT_EQ(v[519 + 100 + row("cache")], 2.0f);
}

// A plain reading of the needle, url, path and registry rules, one string at
// a time, against the extractor's single pass on strings built from pieces
// that make the rules fire (and nearly fire) often.
TEST(Features, PatternCountersAgreeWithAPlainReading) {
  const std::vector<std::string> needles_lower = {
      "<script", "base64", "cache", "certificate", "clipboard", "command", "connect", "cookie", "create", "debug",
      "decode", "delete", "desktop", "directory", "disk", "download", "encode", "enum", "environment", "exit", "file",
      "ftp:", "get /", "hidden", "hostname", "html", "http/", "http://", "https://", "install", "internet",
      "javascript", "keyboard", "memory", "module", "mutex", "onclick", "password", "post /", "powershell",
      "privilege", "process", "remote", "resource", "security", "service", "shell", "snapshot", "system", "thread",
      "token", "user-agent", "wallet", "window"};
  const std::vector<std::string> labels_lower = {
      "<script", "base64", "cache", "certificate", "clipboard", "command", "connect", "cookie", "create", "debug",
      "decode", "delete", "desktop", "directory", "disk", "download", "encode", "enum", "environment", "exit", "file",
      "ftp", "get", "hidden", "hostname", "html", "http", "http://", "https://", "install", "internet", "javascript",
      "keyboard", "memory", "module", "mutex", "onlick", "password", "post", "powershell", "privilege", "process",
      "remote", "resource", "security", "service", "shell", "snapshot", "system", "thread", "token", "useragent",
      "wallet", "window"};
  const std::vector<std::string> raw = {"/EmbeddedFile", "/FlateDecode", "/URI", "/bin/", "/dev/", "/proc/", "/tmp/",
                                        "/usr/", "Invoke-Command", "Invoke-Expression", "Start-process", "crypt",
                                        "!This program "};
  const std::vector<std::string> pieces = {"http://", "HTTP://", "https://", "ftp://", "x", "_", " ", "/", ":", "C:/",
                                           "c:/", "HKEY_", "HKLM", "hkcu", "HKCU", "click", "Click", "cache", "CACHE",
                                           "crypt", "Crypt", "/usr/", "/USR/", "get /", "GET /", "a", "9", "ion",
                                           "!This program ", "Invoke-Command", "base64", "token", "exi", "t"};
  auto is_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::string str;
    const int n = 2 + static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) str += pieces[rng() % pieces.size()];
    if (str.size() < 5) str += "     ";
    std::string low = str;
    for (char& c : low) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const std::size_t L = str.size();
    auto boundary = [&](std::size_t i) { return (i > 0 && is_word(str[i - 1])) != (i < L && is_word(str[i])); };
    std::map<std::string, bool> expect;
    for (std::size_t k = 0; k < needles_lower.size(); ++k) expect[labels_lower[k]] = low.find(needles_lower[k]) != std::string::npos;
    const std::vector<std::string> raw_labels = {"/EmbeddedFile", "/FlateDecode", "/URI", "/bin/", "/dev/", "/proc/", "/tmp/",
                                                 "/usr/", "Invoke-Command", "Invoke-Expression", "Start-process", "crypt", "dos_msg"};
    for (std::size_t k = 0; k < raw.size(); ++k) expect[raw_labels[k]] = str.find(raw[k]) != std::string::npos;
    expect[".click("] = L >= 6 && low.find("click", 1) != std::string::npos;
    bool url = false, path = false, reg = false;
    const std::string url_chars = "!#$&'()*+,-.0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]_abcdefghijklmnopqrstuvwxyz~";
    for (std::size_t i = 0; i < L; ++i) {
      if (!boundary(i)) continue;
      for (const std::string pre : {"http://", "https://", "ftp://"}) {
        if (str.compare(i, pre.size(), pre) == 0 && i + pre.size() < L && url_chars.find(str[i + pre.size()]) != std::string::npos) url = true;
      }
      if (i + 3 <= L && str.compare(i, 3, "C:/") == 0) path = true;
      for (const std::string pre : {"HKEY_", "HKLM", "HKCU"}) reg = reg || str.compare(i, pre.size(), pre) == 0;
    }
    expect["url"] = url;
    expect["file_path"] = path;
    expect["registry_key"] = reg;
    const auto v = features_of("\x01" + str + "\x01");
    ASSERT_EQ(v[519], 1.0f) << str;
    for (const auto& [label, want] : expect) {
      EXPECT_EQ(v[519 + 100 + row(label)], want ? 1.0f : 0.0f) << label << " in [" << str << "]";
    }
  }
}

TEST(Features, FileKinds) {
  struct Case {
    std::string bytes;
    ember::FileKind kind;
  } cases[] = {
      {"\x7f" "ELF\x02\x01", ember::FileKind::ELF},
      {"PK\x03\x04 AndroidManifest.xml ... classes.dex", ember::FileKind::APK},
      {"PK\x03\x04 %PDF- classes.dex", ember::FileKind::Other},
      {"PK\x03\x04 AndroidManifest.xml", ember::FileKind::Other},
      {"%PDF-1.7", ember::FileKind::PDF},
      {"%PDF", ember::FileKind::Other},
      {std::string(1000, ' ') + "%PDF-1.4", ember::FileKind::PDF},
      {std::string(1019, ' ') + "%PDF-1.4", ember::FileKind::PDF},
      {std::string(1020, ' ') + "%PDF-1.4", ember::FileKind::Other},
      {"MZ\x90\x00", ember::FileKind::Other},
      {"", ember::FileKind::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    ember::FeatureInfo info;
    features_of(c.bytes, &info);
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(ember::non_pe_kind(as_bytes(c.bytes)), c.kind);
  }
  EXPECT_STREQ(ember::file_kind_name(ember::FileKind::DotNet), ".NET");
  EXPECT_STREQ(ember::file_kind_name(static_cast<ember::FileKind>(9)), "Other");
}

TEST(Features, HelpersKnownValues) {
  EXPECT_EQ(ember::murmur3_32(""), 0u);
  EXPECT_EQ(ember::murmur3_32("hello"), 0x248bfa47u);
  EXPECT_EQ(ember::murmur3_32("The quick brown fox jumps over the lazy dog"), 0x2e4ff723u);
  EXPECT_EQ(ember::murmur3_32("foo"), 0xf6a5c420u);
  ember::FeatureHasher signed_hasher(10, true), plain(10, false);
  signed_hasher.add("foo", 2.0);  // h = -156908512: bin 2, weight negated
  plain.add("foo", 2.0);
  signed_hasher.add("", 1.0);     // hash 0: bin 0, positive
  signed_hasher.add("hello", 0.0);
  EXPECT_EQ(signed_hasher.bins()[2], -2.0);
  EXPECT_EQ(plain.bins()[2], 2.0);
  EXPECT_EQ(signed_hasher.bins()[0], 1.0);
  EXPECT_EQ(signed_hasher.bins()[1], 0.0);  // "hello" 613153351 -> bin 1, weight 0 ignored
  std::vector<float> ones(256, 1.0f);
  EXPECT_EQ(ember::pairwise_sum(ones), 256.0f);
  std::vector<double> ramp_values;
  for (int i = 1; i <= 300; ++i) ramp_values.push_back(i);
  EXPECT_EQ(ember::pairwise_sum(ramp_values), 45150.0);
  EXPECT_EQ(ember::byte_entropy(ByteSpan()), 0.0);
  const std::string r = ramp(512);
  EXPECT_NEAR(ember::byte_entropy(as_bytes(r)), 8.0, 1e-12);
  EXPECT_NEAR(ember::byte_entropy(as_bytes("aabb")), 1.0, 1e-15);
}

// Inputs built to make a careless matcher rescan: the scan stays linear.
TEST(Features, AdversarialInputsStayLinear) {
  const std::size_t n = 8u << 20;
  for (const std::string& unit : {std::string("1"), std::string("aa:"), std::string("0."), std::string("a"),
                                  std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")}) {
    std::string s;
    while (s.size() < n) s += unit;
    const auto t0 = std::chrono::steady_clock::now();
    const auto v = features_of(s);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(v[519], 1.0f);
    EXPECT_LT(secs, 5.0) << unit;  // linear: well under a second on this machine
  }
}

}  // namespace
