#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ai/detector.h"
#include "av/archive_scanner.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "av/zip_reader.h"
#include "platform/json_text.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace {

using test::ZipEntry;
using test::zip;

const std::string kDash = " \xE2\x80\x94 ";  // space, em dash, space
const std::string kBuiltIn = "Matched a built-in signature";
const std::string kUnsupported = "Archive scan incomplete: encrypted, corrupt, or unsupported member: ";
const std::string kScript001 = "IEX (New-Object Net.WebClient).DownloadString($u)\n";
const std::string kReview001 =
    "Review required (heuristic, not proof of malware): KEL-SCRIPT-001: Remote retrieval combined with dynamic "
    "PowerShell evaluation";
const std::string kReview004 =
    "Review required (heuristic, not proof of malware): KEL-SCRIPT-004: Network response is piped to a shell "
    "interpreter";

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * 1024;

class ArchiveScan : public ::testing::Test {
 protected:
  av::ScanResult scan(const std::string& bytes, const av::ScanOptions& options = {},
                      const std::string& path = "sample.zip") {
    av::ScanResult r;
    r.path = path;
    budget = av::ExtractionBudget{};
    scanner.scan_buffer(as_bytes(bytes), r, options, budget, 0, std::string());
    return r;
  }
  av::Scanner scanner{nullptr, std::make_shared<ai::Detector>()};
  av::ExtractionBudget budget;
};

std::string eicar_zip(std::uint16_t method = 8) { return zip({{.name = "eicar.com", .data = test::eicar(), .method = method}}); }

struct Expect {
  av::Verdict verdict;
  std::string name;
  std::string inner;
  std::string detail;
  bool incomplete;
};

struct Case {
  const char* what;
  std::string archive;
  Expect expect;
  av::ScanOptions options{};
};

void check(const av::ScanResult& r, const Expect& e, const char* what) {
  EXPECT_EQ(r.verdict, e.verdict) << what;
  EXPECT_EQ(r.name, e.name) << what;
  EXPECT_EQ(r.inner, e.inner) << what;
  EXPECT_EQ(r.detail, e.detail) << what;
  EXPECT_EQ(r.incomplete, e.incomplete) << what;
}

TEST_F(ArchiveScan, DetectionsInsideArchives) {
  const std::string inner = eicar_zip();
  const std::string clean_member = "just some text\n";
  const std::vector<Case> cases = {
      {"eicar deflated",
       eicar_zip(),
       {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, false}},
      {"eicar stored in a larger archive",
       zip({{.name = "eicar.com", .data = test::eicar(), .method = 0}, {.name = "pad.bin", .data = "", .run = 1024, .method = 0}}),
       {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, false}},
      // A small archive holding the string verbatim matches the built-in
      // signature itself, before the archive step.
      {"eicar stored in a small archive", eicar_zip(0), {av::Verdict::Malware, "Eicar-Test-Signature", "", kBuiltIn, false}},
      {"nested once",
       zip({{.name = "inner.zip", .data = inner}}),
       {av::Verdict::Malware, "Eicar-Test-Signature", "inner.zip!eicar.com",
        "Inside archive: inner.zip!eicar.com" + kDash + "Inside archive: eicar.com" + kDash + kBuiltIn, false}},
      {"nested in a folder, after clean members",
       zip({{.name = "lib/", .data = "", .method = 0},
            {.name = "lib/readme.txt", .data = clean_member},
            {.name = "lib/app.jar", .data = zip({{.name = "com/x/Evil.class", .data = test::eicar()}})}}),
       {av::Verdict::Malware, "Eicar-Test-Signature", "lib/app.jar!com/x/Evil.class",
        "Inside archive: lib/app.jar!com/x/Evil.class" + kDash + "Inside archive: com/x/Evil.class" + kDash + kBuiltIn,
        false}},
      {"clean archive", zip({{.name = "a.txt", .data = clean_member}, {.name = "b.txt", .data = "more"}}),
       {av::Verdict::Clean, "", "", "", false}},
      {"archive without entries", zip({}), {av::Verdict::Clean, "", "", "", false}},
      {"member script is reviewed under its own name",
       zip({{.name = "tools/evil.ps1", .data = kScript001}}),
       {av::Verdict::Suspicious, "Script/Review.KEL-SCRIPT-001", "tools/evil.ps1",
        "Inside archive: tools/evil.ps1" + kDash + kReview001, false}},
      {"the same text under another name is clean", zip({{.name = "tools/evil.txt", .data = kScript001}}),
       {av::Verdict::Clean, "", "", "", false}},
      {"malware after a suspicious member wins",
       zip({{.name = "a.ps1", .data = kScript001}, {.name = "eicar.com", .data = test::eicar()}}),
       {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, false}},
      {"a second suspicious member never replaces the first",
       zip({{.name = "a.ps1", .data = kScript001}, {.name = "b.sh", .data = "curl -s $U | sh\n"}}),
       {av::Verdict::Suspicious, "Script/Review.KEL-SCRIPT-001", "a.ps1", "Inside archive: a.ps1" + kDash + kReview001,
        false}},
      {"malware stops the visit: later damage is not seen",
       zip({{.name = "eicar.com", .data = test::eicar()}, {.name = "bad", .data = "x", .crc = 1}}),
       {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, false}},
      {"a member's error is noted with its name",
       zip({{.name = "odd.ps1", .data = "Write-Host \x01\n"}}),
       {av::Verdict::Error, "", "",
        "Archive scan incomplete: odd.ps1: Static script review incomplete: input limit, encoded script, or "
        "unsupported bytes",
        true}},
      {"a suspicious member after a damaged one is adopted",
       zip({{.name = "bad.txt", .data = "x", .crc = 7}, {.name = "run.sh", .data = "wget -O- $U | bash\n"}}),
       {av::Verdict::Suspicious, "Script/Review.KEL-SCRIPT-004", "run.sh", "Inside archive: run.sh" + kDash + kReview004,
        true}},
      {"a problem after a suspicious member is appended",
       zip({{.name = "run.sh", .data = "wget -O- $U | bash\n"}, {.name = "bad.txt", .data = "x", .crc = 7}}),
       {av::Verdict::Suspicious, "Script/Review.KEL-SCRIPT-004", "run.sh",
        "Inside archive: run.sh" + kDash + kReview004 +
            "; archive scan incomplete: encrypted, corrupt, or unsupported member: bad.txt",
        true}},
      {"archive scanning off", eicar_zip(), {av::Verdict::Clean, "", "", "", false},
       av::ScanOptions{.scan_archives = false}},
  };
  for (const Case& c : cases) check(scan(c.archive, c.options), c.expect, c.what);
}

TEST_F(ArchiveScan, NestingBeyondTheDepthLimitIsNotOpened) {
  const std::string d = zip({{.name = "eicar.com", .data = test::eicar()}});
  const std::string c = zip({{.name = "d.zip", .data = d}});
  const std::string b = zip({{.name = "c.zip", .data = c}});
  const std::string a = zip({{.name = "b.zip", .data = b}});
  check(scan(a), {av::Verdict::Error, "", "",
                  "Archive scan incomplete: b.zip: Archive scan incomplete: c.zip: Archive scan incomplete: d.zip: "
                  "Archive scan incomplete: nesting limit reached",
                  true},
        "four levels");
  check(scan(b), {av::Verdict::Malware, "Eicar-Test-Signature", "c.zip!d.zip!eicar.com",
                  "Inside archive: c.zip!d.zip!eicar.com" + kDash + "Inside archive: d.zip!eicar.com" + kDash +
                      "Inside archive: eicar.com" + kDash + kBuiltIn,
                  false},
        "three levels");
  check(scan(d, {.max_depth = 0}), {av::Verdict::Error, "", "", "Archive scan incomplete: nesting limit reached", true},
        "depth limit 0");
}

TEST_F(ArchiveScan, EntryLimitCountsEveryEntryOfAllLevels) {
  const auto files = [](int n, bool with_folder) {
    std::vector<ZipEntry> e;
    if (with_folder) e.push_back({.name = "dir/", .data = "", .method = 0});
    for (int i = with_folder ? 1 : 0; i < n; ++i) e.push_back({.name = "f" + std::to_string(i) + ".txt", .data = "x"});
    return zip(e);
  };
  auto r = scan(files(2000, true));
  check(r, {av::Verdict::Clean, "", "", "", false}, "exactly 2000 entries, one a folder");
  EXPECT_EQ(budget.entries, 2000u);
  r = scan(files(2001, false));
  check(r, {av::Verdict::Error, "", "", "Archive scan incomplete: entry limit reached", true}, "2001 entries");
  EXPECT_EQ(budget.entries, 2000u);

  // A nested archive's entries use the same budget: 1 + 3 nested entries exceed 3.
  const std::string nested = zip({{.name = "in.zip", .data = files(3, false)}});
  r = scan(nested, {.max_entries = 3});
  check(r, {av::Verdict::Error, "", "", "Archive scan incomplete: in.zip: Archive scan incomplete: entry limit reached", true},
        "shared entry budget");
  EXPECT_EQ(budget.entries, 3u);
  check(scan(files(1, false), {.max_entries = 0}),
        {av::Verdict::Error, "", "", "Archive scan incomplete: entry limit reached", true}, "no entries allowed");
  check(scan(zip({}), {.max_entries = 0}), {av::Verdict::Clean, "", "", "", false}, "nothing to visit");
}

TEST_F(ArchiveScan, SizeAndTotalLimits) {
  // Scaled by 1/1024: members of 120 KiB against a 128 KiB member and a 512 KiB total limit.
  const av::ScanOptions scaled{.max_member_bytes = static_cast<std::int64_t>(128 * KiB),
                               .max_total_bytes = static_cast<std::int64_t>(512 * KiB)};
  std::vector<ZipEntry> six;
  for (int i = 0; i < 5; ++i) six.push_back({.name = "m" + std::to_string(i), .data = "", .run = 120 * KiB});
  // The sixth is a script whose finding proves it was extracted and scanned.
  six.push_back({.name = "six.ps1", .data = kScript001, .run = 30 * KiB - kScript001.size(), .fill = ' '});
  auto r = scan(zip(six), scaled);
  check(r, {av::Verdict::Suspicious, "Script/Review.KEL-SCRIPT-001", "six.ps1", "Inside archive: six.ps1" + kDash + kReview001,
            true},
        "fifth member over the total");
  EXPECT_EQ(budget.bytes, 510 * KiB);

  r = scan(zip({{.name = "big.bin", .data = "", .run = 129 * KiB}, {.name = "small.txt", .data = "ok"}}), scaled);
  check(r, {av::Verdict::Error, "", "", "Archive scan incomplete: member exceeds the size limit", true}, "over the member limit");
  EXPECT_EQ(budget.bytes, 2u);

  check(scan(zip({{.name = "a", .data = "x"}}), {.max_member_bytes = -1}),
        {av::Verdict::Error, "", "", "Archive scan incomplete: member exceeds the size limit", true}, "negative member limit");
  check(scan(zip({{.name = "a", .data = "x"}}), {.max_total_bytes = -1}),
        {av::Verdict::Error, "", "", "Archive scan incomplete: total extraction limit reached", true}, "negative total");
  check(scan(zip({{.name = "empty.txt", .data = ""}}), {.max_total_bytes = 0}), {av::Verdict::Clean, "", "", "", false},
        "an empty member fits a zero total");
}

TEST_F(ArchiveScan, ADefaultSizedMemberAboveTheLimitIsNotExtracted) {
  // 200 MiB of zeros, about 1.3 MB compressed; refused by its declared size.
  const std::string archive = zip({{.name = "huge.bin", .data = "", .run = 200 * MiB, .crc = 0}});
  ASSERT_LT(archive.size(), 2 * MiB);
  const auto r = scan(archive);
  check(r, {av::Verdict::Error, "", "", "Archive scan incomplete: member exceeds the size limit", true}, "200 MiB member");
  EXPECT_EQ(budget.bytes, 0u);
}

TEST_F(ArchiveScan, UnreadableMembersAreNotedAndTheRestIsScanned) {
  const std::string payload = "some member text";
  const std::vector<std::pair<const char*, ZipEntry>> bad = {
      {"encrypted (traditional)", {.name = "secret.txt", .data = payload, .method = 0, .flags = 1}},
      {"encrypted, deflate", {.name = "secret.txt", .data = payload, .flags = 1}},
      {"bzip2 method", {.name = "secret.txt", .data = payload, .method = 12}},
      {"lzma method", {.name = "secret.txt", .data = payload, .method = 14}},
      {"shrink method", {.name = "secret.txt", .data = payload, .method = 1}},
      {"zero compressed size", {.name = "secret.txt", .data = "", .declared_size = 10, .payload = ""}},
      {"CRC mismatch", {.name = "secret.txt", .data = payload, .crc = 0x12345678}},
      {"CRC mismatch, stored", {.name = "secret.txt", .data = payload, .method = 0, .crc = 0x12345678}},
      {"declared size smaller", {.name = "secret.txt", .data = payload, .declared_size = 4}},
      {"declared size larger", {.name = "secret.txt", .data = payload, .declared_size = 4096}},
      {"declared size smaller, stored", {.name = "secret.txt", .data = payload, .method = 0, .declared_size = 4}},
      {"declared size larger, stored", {.name = "secret.txt", .data = payload, .method = 0, .declared_size = 40}},
      {"compressed size cut", {.name = "secret.txt", .data = payload, .run = 5000, .declared_compressed = 3}},
      {"garbage deflate", {.name = "secret.txt", .data = payload, .payload = std::string("\xff\xff\xff\xff\xff", 5)}},
      {"deflate stream ends early", {.name = "secret.txt", .data = payload, .payload = test::deflate_fixed("some")}},
  };
  for (const auto& [what, entry] : bad) {
    check(scan(zip({entry, {.name = "ok.txt", .data = "fine"}})),
          {av::Verdict::Error, "", "", kUnsupported + "secret.txt", true}, what);
    EXPECT_EQ(budget.entries, 2u) << what;
    check(scan(zip({entry, {.name = "eicar.com", .data = test::eicar()}})),
          {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, true},
          what);
  }
}

TEST_F(ArchiveScan, DamagedArchivesAreRefusedAsAWhole) {
  const test::ZipArchive two = test::build_zip({{.name = "a.txt", .data = "alpha"}, {.name = "b.txt", .data = "beta"}});
  const std::string& whole = two.bytes;
  const std::vector<std::pair<const char*, std::string>> damaged = {
      {"signature only", "PK\x03\x04"},
      {"truncated after the first local header", whole.substr(0, 40)},
      {"central directory cut", whole.substr(0, whole.size() - 30)},
      {"end record cut", whole.substr(0, whole.size() - 5)},
      {"central directory missing", whole.substr(0, two.central_offset)},
      {"end record claims more entries", test::build_zip({{.name = "a.txt", .data = "alpha"}}, 5).bytes},
      {"end record claims fewer entries", test::build_zip({{.name = "a.txt", .data = "a"}, {.name = "b", .data = "b"}}, 1).bytes},
      {"empty-archive signature with junk", std::string("PK\x05\x06", 4) + "junk"},
      {"AES method without its extra field", zip({{.name = "a", .data = "x", .method = 99}})},
      {"spanned-archive marker only", std::string("PK\x07\x08", 4) + std::string(30, '\0')},
  };
  for (const auto& [what, bytes] : damaged) {
    check(scan(bytes), {av::Verdict::Error, "", "", "Archive scan incomplete: invalid or unsupported ZIP archive", true},
          what);
  }
  // Not a ZIP signature at all: the archive step does not run.
  check(scan("PK\x03\x05 not an archive"), {av::Verdict::Clean, "", "", "", false}, "other signature");
  check(scan("PK\x03"), {av::Verdict::Clean, "", "", "", false}, "too short");
}

TEST_F(ArchiveScan, MemberNamesAreKeptAsStored) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"../../eicar.com", "../../eicar.com"},
      {"/etc/eicar.com", "/etc/eicar.com"},
      {"C:\\Windows\\eicar.com", "C:\\Windows\\eicar.com"},
      {std::string("eicar.com\0.txt", 14), "eicar.com .txt"},  // the library delivers NUL as a space
      {"\xff\xfe\xc3(.com", "\xff\xfe\xc3(.com"},
      {std::string(600, 'n'), std::string(511, 'n')},
      {"", ""},
  };
  for (const auto& [stored, reported] : names) {
    const auto r = scan(zip({{.name = stored, .data = test::eicar()}}));
    EXPECT_EQ(r.verdict, av::Verdict::Malware) << reported;
    EXPECT_EQ(r.inner, reported);
    EXPECT_EQ(r.detail, "Inside archive: " + reported + kDash + kBuiltIn);
    // Results with such names still serialise.
    EXPECT_FALSE(dump_json(av::to_json(r)).empty());
  }
  // A NUL byte cannot cut the extension off the script-kind test: "x.txt\0.ps1" is a PowerShell script.
  const auto r = scan(zip({{.name = std::string("x.txt\0.ps1", 10), .data = kScript001}}));
  EXPECT_EQ(r.name, "Script/Review.KEL-SCRIPT-001");
  EXPECT_EQ(r.inner, "x.txt .ps1");
}

TEST_F(ArchiveScan, DirectoriesAreSkippedOnlyWhenEmpty) {
  // Folders count as entries but are not scanned.
  auto r = scan(zip({{.name = "a/", .data = "", .method = 0}, {.name = "b", .data = "", .method = 0, .external_attributes = 0x10}}));
  check(r, {av::Verdict::Clean, "", "", "", false}, "two folders");
  EXPECT_EQ(budget.entries, 2u);
  // A folder mark on an entry with content cannot hide it.
  for (const ZipEntry& e : {ZipEntry{.name = "hidden/", .data = test::eicar()},
                            ZipEntry{.name = "hidden", .data = test::eicar(), .external_attributes = 0x10}}) {
    r = scan(zip({e}));
    EXPECT_EQ(r.verdict, av::Verdict::Malware) << e.name;
    EXPECT_EQ(r.inner, e.name);
  }
}

TEST_F(ArchiveScan, AnArchiveAlreadySuspiciousKeepsItsNameUnlessMalwareIsInside) {
  const auto inspect = [&](const std::string& bytes) {
    av::ScanResult parent;
    parent.path = "app.apk";
    parent.verdict = av::Verdict::Suspicious;
    parent.name = "APK/AI.Suspicious";
    parent.detail = "AI model flagged this as suspicious (60%)";
    parent.ai_score = 0.6;
    av::ExtractionBudget b;
    av::inspect_zip(scanner, as_bytes(bytes), parent, av::ScanOptions{}, b, 0);
    return parent;
  };
  auto r = inspect(zip({{.name = "a.ps1", .data = kScript001}}));
  check(r, {av::Verdict::Suspicious, "APK/AI.Suspicious", "", "AI model flagged this as suspicious (60%)", false},
        "suspicious script inside");
  EXPECT_EQ(r.ai_score, 0.6);
  r = inspect(zip({{.name = "a.ps1", .data = kScript001}, {.name = "eicar.com", .data = test::eicar()}}));
  check(r, {av::Verdict::Malware, "Eicar-Test-Signature", "eicar.com", "Inside archive: eicar.com" + kDash + kBuiltIn, false},
        "malware inside");
  EXPECT_EQ(r.ai_score, -1.0);  // the member's own score
  r = inspect(zip({{.name = "lock.bin", .data = "x", .method = 0, .flags = 1}}));
  check(r, {av::Verdict::Suspicious, "APK/AI.Suspicious", "",
            "AI model flagged this as suspicious (60%); archive scan incomplete: encrypted, corrupt, or unsupported "
            "member: lock.bin",
            true},
        "problem appended");
}

// Archives built to explode or to loop: each ends inside the limits with the
// defined outcome, and the budget never passes its limits.
TEST_F(ArchiveScan, Bombs) {
  const av::ScanOptions scaled{.max_member_bytes = static_cast<std::int64_t>(1 * MiB),
                               .max_total_bytes = static_cast<std::int64_t>(4 * MiB)};

  // High ratio: 64 MiB of zeros in about 400 KiB, declared truthfully.
  const std::string ratio = zip({{.name = "zeros.bin", .data = "", .run = 64 * MiB}});
  check(scan(ratio, scaled), {av::Verdict::Error, "", "", "Archive scan incomplete: member exceeds the size limit", true},
        "high ratio");
  EXPECT_EQ(budget.bytes, 0u);

  // The same stream declared as 1000 bytes: extraction stops at the buffer.
  const auto started = std::chrono::steady_clock::now();
  check(scan(zip({{.name = "liar.bin", .data = "", .run = 64 * MiB, .declared_size = 1000}}), scaled),
        {av::Verdict::Error, "", "", kUnsupported + "liar.bin", true}, "understated size");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(budget.bytes, 1000u);

  // Nested: ten copies of ten copies of ten 512 KiB members.
  const std::string leaf = zip(std::vector<ZipEntry>(10, ZipEntry{.name = "zeros", .data = "", .run = 512 * KiB}));
  const std::string mid = zip(std::vector<ZipEntry>(10, ZipEntry{.name = "leaf.zip", .data = leaf}));
  const std::string top = zip(std::vector<ZipEntry>(10, ZipEntry{.name = "mid.zip", .data = mid}));
  auto r = scan(top, scaled);
  EXPECT_EQ(r.verdict, av::Verdict::Error);
  EXPECT_TRUE(r.incomplete);
  EXPECT_EQ(r.detail.rfind("Archive scan incomplete: mid.zip: Archive scan incomplete: leaf.zip: ", 0), 0u) << r.detail;
  EXPECT_NE(r.detail.find("total extraction limit reached"), std::string::npos) << r.detail;
  EXPECT_LE(budget.bytes, 4 * MiB);
  EXPECT_LE(budget.entries, 2000u);

  // Overlapping: 3000 directory records share one local record of 64 KiB.
  std::vector<ZipEntry> overlap{{.name = "shared0", .data = "", .run = 64 * KiB}};
  for (int i = 1; i < 3000; ++i) overlap.push_back({.name = "shared" + std::to_string(i), .shares = 0});
  const std::string overlapping = zip(overlap);
  ASSERT_LT(overlapping.size(), 300 * KiB);
  r = scan(overlapping, scaled);
  check(r, {av::Verdict::Error, "", "", "Archive scan incomplete: total extraction limit reached", true}, "overlap");
  EXPECT_EQ(budget.bytes, 4 * MiB);
  EXPECT_EQ(budget.entries, 2000u);
  // With the default total the entry limit ends it first.
  r = scan(overlapping);
  EXPECT_EQ(r.detail, "Archive scan incomplete: entry limit reached");
  EXPECT_EQ(budget.entries, 2000u);
  EXPECT_EQ(budget.bytes, 2000 * 64 * KiB);

  // Overlapping records whose sizes lie about the shared data.
  r = scan(zip({{.name = "real", .data = "payload"}, {.name = "liar", .declared_size = 3, .shares = 0}}));
  check(r, {av::Verdict::Error, "", "", kUnsupported + "liar", true}, "shared record, other size");
}

TEST(ZipReader, ReportsMembersAndExtractsExactly) {
  const std::string data = "hello, archive";
  const std::string bytes = zip({{.name = "dir/", .data = "", .method = 0},
                                 {.name = "a.txt", .data = data},
                                 {.name = "s.bin", .data = "stored", .method = 0},
                                 {.name = "e.bin", .data = "x", .method = 0, .flags = 1},
                                 {.name = "m.bin", .data = "x", .method = 14}});
  av::ZipReader reader;
  ASSERT_TRUE(reader.open(as_bytes(bytes)));
  ASSERT_EQ(reader.member_count(), 5u);
  av::ZipMember m;
  ASSERT_TRUE(reader.stat(0, m));
  EXPECT_TRUE(m.directory);
  ASSERT_TRUE(reader.stat(1, m));
  EXPECT_EQ(m.name, "a.txt");
  EXPECT_EQ(m.size, data.size());
  EXPECT_EQ(m.method, 8);
  EXPECT_TRUE(m.supported);
  EXPECT_FALSE(m.encrypted);
  EXPECT_FALSE(m.directory);
  EXPECT_EQ(m.crc, test::crc32_of(data));
  std::string out(data.size(), '\0');
  ASSERT_TRUE(reader.extract(1, {reinterpret_cast<std::uint8_t*>(out.data()), out.size()}));
  EXPECT_EQ(out, data);
  // A buffer of any other size fails: the data must fill it exactly.
  std::string shorter(data.size() - 1, '\0'), longer(data.size() + 1, '\0');
  EXPECT_FALSE(reader.extract(1, {reinterpret_cast<std::uint8_t*>(shorter.data()), shorter.size()}));
  EXPECT_FALSE(reader.extract(1, {reinterpret_cast<std::uint8_t*>(longer.data()), longer.size()}));
  ASSERT_TRUE(reader.stat(2, m));
  EXPECT_EQ(m.method, 0);
  EXPECT_TRUE(m.supported);
  ASSERT_TRUE(reader.stat(3, m));
  EXPECT_TRUE(m.encrypted);
  EXPECT_FALSE(m.supported);
  ASSERT_TRUE(reader.stat(4, m));
  EXPECT_FALSE(m.encrypted);
  EXPECT_FALSE(m.supported);
  EXPECT_FALSE(reader.stat(5, m));
  EXPECT_FALSE(reader.extract(5, {}));

  EXPECT_FALSE(reader.open(as_bytes("PK\x03\x04 nothing more")));
  EXPECT_EQ(reader.member_count(), 0u);
  EXPECT_FALSE(reader.stat(0, m));
}

}  // namespace
