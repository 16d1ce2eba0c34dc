#include "av/quarantine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "platform/encoding.h"
#include "platform/file_stream.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

constexpr char kKey[] = "QuietHarborStone";

std::string digest_of(const std::string& content) {
  const Digest d = sha256(as_bytes(content));
  return to_hex(ByteSpan(d.data(), d.size()));
}

av::ScanResult detection(const std::string& path, const std::string& content) {
  av::ScanResult r;
  r.path = path;
  r.verdict = av::Verdict::Malware;
  r.name = "Eicar-Test-Signature";
  r.detail = "Known malware (signature database)";
  r.sha256 = digest_of(content);
  r.size = static_cast<std::int64_t>(content.size());
  return r;
}

std::string unscramble(const std::string& payload) {
  std::string out = payload;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ kKey[i % 16]);
  return out;
}

bool exists(const std::string& p) { return path_exists(p); }

std::string listing(const std::string& dir) {
  std::vector<DirEntry> entries;
  list_directory(dir, entries);
  std::string names;
  for (const auto& e : entries) names += e.name + "\n";
  return names;
}

// A content that spans several 64 KiB chunks, so a kill can land mid-copy.
std::string big_content() {
  std::string s;
  for (int i = 0; s.size() < 200000; ++i) s += "line " + std::to_string(i) + " of a quarantined file\n";
  return s;
}

}  // namespace

TEST(Quarantine, MovesFileIntoScrambledPayloadAndRestoresIt) {
  test::TempDir dir;
  const std::string content = test::eicar() + std::string("\0\xff tail", 7);
  const std::string file = dir.write("victim/eicar.com", content);
  av::Quarantine q(dir.file("q"));
  const std::string id = q.quarantine(file, detection(file, content));
  ASSERT_EQ(id.size(), 24u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_FALSE(exists(file));

  const std::string payload = read_whole_file(dir.file("q/files/" + id + ".qf"));
  ASSERT_EQ(payload.size(), content.size());
  EXPECT_NE(payload, content);
  EXPECT_EQ(unscramble(payload), content);
  const auto meta = parse_json(read_whole_file(dir.file("q/files/" + id + ".json")));
  ASSERT_TRUE(meta && meta->is_object());
  EXPECT_EQ(meta->size(), 7u);
  EXPECT_EQ((*meta)["original_path"], file);
  EXPECT_EQ((*meta)["sha256"], digest_of(content));
  EXPECT_EQ((*meta)["size"], content.size());
  const auto index = parse_json(read_whole_file(dir.file("q/index.json")));
  ASSERT_TRUE(index && index->is_array());
  ASSERT_EQ(index->size(), 1u);
  EXPECT_EQ((*index)[0], *meta);
  EXPECT_EQ(read_whole_file(dir.file("q/index.json")), dump_json(*index, 2));

  std::string message = "unset";
  ASSERT_TRUE(q.restore(id, message)) << message;
  EXPECT_EQ(message, "");
  EXPECT_EQ(read_whole_file(file), content);
  EXPECT_TRUE(q.list().empty());
  EXPECT_EQ(listing(dir.file("q/files")), "");
  EXPECT_EQ(listing(dir.file("victim")), "eicar.com\n");
}

TEST(Quarantine, LeavesFilesItCannotSafelyTake) {
  test::TempDir dir;
  const std::string content = test::eicar();
  const std::string file = dir.write("f.com", content);
  symlink(file.c_str(), dir.file("link.com").c_str());
  create_directories(dir.file("folder"));
  av::Quarantine q(dir.file("q"));
  const std::string inside = dir.write("q/files/planted.com", content);
  av::ScanResult stale = detection(file, content);
  stale.sha256 = digest_of(content + "changed after the scan");
  struct Case {
    const char* what;
    std::string path;
    av::ScanResult result;
  } cases[] = {
      {"digest differs from the content", file, stale},
      {"symbolic link", dir.file("link.com"), detection(dir.file("link.com"), content)},
      {"folder", dir.file("folder"), detection(dir.file("folder"), content)},
      {"inside the quarantine folder", inside, detection(inside, content)},
      {"missing", dir.file("missing.com"), detection(dir.file("missing.com"), content)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(q.quarantine(c.path, c.result), "") << c.what;
  }
  EXPECT_EQ(read_whole_file(file), content);
  EXPECT_EQ(read_whole_file(inside), content);
  EXPECT_TRUE(q.list().empty());
  EXPECT_EQ(listing(dir.file("q/files")), "planted.com\n");
}

namespace {
std::string g_growing_file;
void append_during_copy(const char* step) {
  if (std::string(step) == "copy.chunk" && !g_growing_file.empty()) {
    FILE* f = fopen(g_growing_file.c_str(), "ab");
    fputs("written by another process", f);
    fclose(f);
    g_growing_file.clear();
  }
}
}  // namespace

TEST(Quarantine, FileChangingDuringTheCopyStaysInPlace) {
  test::TempDir dir;
  const std::string content = big_content();
  const std::string file = dir.write("busy.bin", content);
  av::Quarantine q(dir.file("q"));
  g_growing_file = file;
  av::set_quarantine_step_hook(append_during_copy);
  // The scan saw no digest, so only the size and time check can notice.
  av::ScanResult r = detection(file, content);
  r.sha256.clear();
  const std::string id = q.quarantine(file, r);
  av::set_quarantine_step_hook(nullptr);
  EXPECT_EQ(id, "");
  EXPECT_EQ(read_whole_file(file), content + "written by another process");
  EXPECT_TRUE(q.list().empty());
  EXPECT_EQ(listing(dir.file("q/files")), "");
}

TEST(Quarantine, RestoreRefusalsKeepTheItem) {
  test::TempDir dir;
  const std::string content = test::eicar();
  av::Quarantine q(dir.file("q"));
  const auto take = [&](const std::string& name) {
    const std::string file = dir.write(name, content);
    const std::string id = q.quarantine(file, detection(file, content));
    EXPECT_FALSE(id.empty());
    return std::make_pair(file, id);
  };
  std::string message;

  // A new file appeared at the original path: it is never overwritten.
  auto [occupied, id1] = take("a/occupied.com");
  dir.write("a/occupied.com", "the user's new file");
  EXPECT_FALSE(q.restore(id1, message));
  EXPECT_EQ(message, "The original path already exists or cannot be checked; move it before restoring");
  EXPECT_EQ(read_whole_file(occupied), "the user's new file");

  // A payload truncated by one byte fails the integrity check and leaves no temporary file.
  auto [truncated, id2] = take("b/truncated.com");
  ASSERT_EQ(truncate(dir.file("q/files/" + id2 + ".qf").c_str(), static_cast<off_t>(content.size() - 1)), 0);
  EXPECT_FALSE(q.restore(id2, message));
  EXPECT_EQ(message, "The quarantine payload failed its size or SHA-256 integrity check");
  EXPECT_EQ(listing(dir.file("b")), "");

  // Same size, one byte flipped: only the digest can tell.
  auto [flipped, id3] = take("c/flipped.com");
  {
    std::string p = read_whole_file(dir.file("q/files/" + id3 + ".qf"));
    p[10] = static_cast<char>(p[10] ^ 1);
    ASSERT_TRUE(write_file_atomic(dir.file("q/files/" + id3 + ".qf"), p));
  }
  EXPECT_FALSE(q.restore(id3, message));
  EXPECT_EQ(message, "The quarantine payload failed its size or SHA-256 integrity check");
  EXPECT_FALSE(exists(flipped));
  EXPECT_EQ(listing(dir.file("c")), "");

  // Payload gone.
  auto [gone, id4] = take("d/gone.com");
  remove_file(dir.file("q/files/" + id4 + ".qf"));
  EXPECT_FALSE(q.restore(id4, message));
  EXPECT_EQ(message, "The quarantine payload is missing or is not a regular file");
  EXPECT_FALSE(q.payload_present(id4));

  EXPECT_FALSE(q.restore("0123456789abcdef01234567", message));
  EXPECT_EQ(message, "Not found");
  EXPECT_EQ(q.list().size(), 4u);
}

TEST(Quarantine, RestoreRefusesADestinationInsideTheQuarantine) {
  test::TempDir dir;
  const std::string content = test::eicar();
  const std::string file = dir.write("x.com", content);
  std::string id;
  {
    av::Quarantine q(dir.file("q"));
    id = q.quarantine(file, detection(file, content));
    ASSERT_FALSE(id.empty());
  }
  // A hand-edited index aims the restore at the store's own files.
  auto index = *parse_json(read_whole_file(dir.file("q/index.json")));
  index[0]["original_path"] = dir.file("q/files/evil.qf");
  ASSERT_TRUE(write_file_atomic(dir.file("q/index.json"), dump_json(index, 2)));
  av::Quarantine q(dir.file("q"));
  std::string message;
  EXPECT_FALSE(q.restore(id, message));
  EXPECT_NE(message.find("inside the quarantine folder"), std::string::npos) << message;
  EXPECT_FALSE(exists(dir.file("q/files/evil.qf")));
  EXPECT_TRUE(q.payload_present(id));
}

TEST(Quarantine, RestoreRecreatesADeletedFolder) {
  test::TempDir dir;
  const std::string content = test::eicar();
  const std::string file = dir.write("deep/er/x.com", content);
  av::Quarantine q(dir.file("q"));
  const std::string id = q.quarantine(file, detection(file, content));
  ASSERT_FALSE(id.empty());
  std::filesystem::remove_all(dir.file("deep"));
  std::string message;
  ASSERT_TRUE(q.restore(id, message)) << message;
  EXPECT_EQ(read_whole_file(file), content);
}

TEST(Quarantine, RemoveDeletesTheItemForGood) {
  test::TempDir dir;
  const std::string content = test::eicar();
  const std::string file = dir.write("x.com", content);
  av::Quarantine q(dir.file("q"));
  const std::string id = q.quarantine(file, detection(file, content));
  ASSERT_FALSE(id.empty());
  EXPECT_FALSE(q.remove("0123456789abcdef01234567"));
  ASSERT_TRUE(q.remove(id));
  EXPECT_TRUE(q.list().empty());
  EXPECT_EQ(listing(dir.file("q/files")), "");
  EXPECT_EQ(*parse_json(read_whole_file(dir.file("q/index.json"))), Json::array());
  EXPECT_FALSE(exists(file));
  EXPECT_TRUE(av::Quarantine(dir.file("q")).list().empty());
}

TEST(Quarantine, LoadingRelistsItemsFromTheirMetadataFiles) {
  test::TempDir dir;
  const std::string content = test::eicar();
  std::vector<std::string> ids;
  {
    av::Quarantine q(dir.file("q"));
    for (const char* name : {"one.com", "two.com", "three.com"}) {
      const std::string file = dir.write(name, content);
      ids.push_back(q.quarantine(file, detection(file, content)));
    }
  }
  remove_file(dir.file("q/index.json"));
  // A metadata file whose payload has gone is not relisted; one naming another id neither.
  remove_file(dir.file("q/files/" + ids[2] + ".qf"));
  av::Quarantine q(dir.file("q"));
  std::vector<std::string> listed;
  for (const auto& item : q.list()) listed.push_back(item.id);
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected{ids[0], ids[1]};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  std::string message;
  for (const auto& id : expected) EXPECT_TRUE(q.restore(id, message)) << message;
  EXPECT_EQ(read_whole_file(dir.file("one.com")), content);
  EXPECT_EQ(read_whole_file(dir.file("two.com")), content);
}

TEST(Quarantine, InvalidStoredItemsAreIgnored) {
  const Json good = {{"id", "0123456789abcdef01234567"}, {"original_path", "/tmp/x.com"}, {"name", "n"},
                     {"detail", "d"}, {"sha256", std::string(64, 'a')}, {"size", 68}, {"quarantined_at", 1}};
  av::QuarantineItem item;
  ASSERT_TRUE(av::Quarantine::item_from_json(good, item));
  EXPECT_EQ(item.original_path, "/tmp/x.com");
  EXPECT_EQ(item.size, 68);
  const auto with = [&](const char* key, const Json& v) {
    Json j = good;
    j[key] = v;
    return j;
  };
  Json absent = good;
  absent.erase("sha256");
  absent.erase("name");
  absent.erase("quarantined_at");
  EXPECT_TRUE(av::Quarantine::item_from_json(absent, item));
  EXPECT_TRUE(av::Quarantine::item_from_json(with("sha256", ""), item));
  struct Case {
    const char* what;
    Json value;
  } bad[] = {
      {"not an object", Json::array()},
      {"upper-case id", with("id", "0123456789ABCDEF01234567")},
      {"short id", with("id", "0123456789abcdef")},
      {"negative size", with("size", -1)},
      {"size not an integer", with("size", 1.5)},
      {"time as text", with("quarantined_at", "1")},
      {"name not a string", with("name", 5)},
      {"relative path", with("original_path", "tmp/x.com")},
      {"empty path", with("original_path", "")},
      {"path ending in dot", with("original_path", "/tmp/.")},
      {"path ending in dot-dot", with("original_path", "/tmp/..")},
      {"path ending in a slash", with("original_path", "/tmp/")},
      {"path with NUL", with("original_path", std::string("/tmp/a\0b", 8))},
      {"short digest", with("sha256", "abc")},
      {"upper-case digest", with("sha256", std::string(64, 'A'))},
      {"path bytes not hex", with("original_path_hex", "zz")},
      {"path bytes relative", with("original_path_hex", to_hex(as_bytes("rel\xff")))},
  };
  for (const Case& c : bad) EXPECT_FALSE(av::Quarantine::item_from_json(c.value, item)) << c.what;

  // The same rules apply while loading the index.
  test::TempDir dir;
  Json index = Json::array();
  for (const Case& c : bad) index.push_back(c.value);
  index.push_back(good);
  index.push_back(good);  // a duplicate id is listed once
  dir.write("q/index.json", dump_json(index, 2));
  av::Quarantine q(dir.file("q"));
  ASSERT_EQ(q.list().size(), 1u);
  EXPECT_EQ(q.list()[0].id, "0123456789abcdef01234567");
  // An index entry whose payload is gone stays listed, and says so.
  EXPECT_FALSE(q.payload_present("0123456789abcdef01234567"));
}

TEST(Quarantine, NamesThatAreNotUtf8RoundTripExactly) {
  test::TempDir dir;
  const std::string content = test::eicar();
  const std::string name = std::string("bad-\xff\xfe-\xc3(-name.com");
  ASSERT_FALSE(is_valid_utf8(name));
  const std::string file = dir.write("n\x80-dir/" + name, content);
  std::string id;
  {
    av::Quarantine q(dir.file("q"));
    id = q.quarantine(file, detection(file, content));
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(q.list()[0].original_path, file);
  }
  const auto meta = parse_json(read_whole_file(dir.file("q/files/" + id + ".json")));
  ASSERT_TRUE(meta);
  EXPECT_EQ((*meta)["original_path_hex"], to_hex(as_bytes(file)));
  EXPECT_TRUE(is_valid_utf8((*meta)["original_path"].get<std::string>()));
  // From the index, and from the metadata file alone.
  for (bool drop_index : {false, true}) {
    if (drop_index) remove_file(dir.file("q/index.json"));
    av::Quarantine q(dir.file("q"));
    ASSERT_EQ(q.list().size(), 1u);
    EXPECT_EQ(q.list()[0].original_path, file);
  }
  av::Quarantine q(dir.file("q"));
  std::string message;
  ASSERT_TRUE(q.restore(id, message)) << message;
  EXPECT_EQ(read_whole_file(file), content);
  EXPECT_EQ(listing(dir.file("n\x80-dir")), name + "\n");
}

// ---- crash safety: a child is killed with SIGKILL at every step ----

namespace {

int g_kill_at = 0;
int g_steps = 0;
void kill_at_step(const char*) {
  if (++g_steps == g_kill_at) kill(getpid(), SIGKILL);
}

// Runs `op` in a child that dies at step `n`; true when the child was killed
// (false: the operation ran to its end with fewer steps).
bool run_killed_at(int n, const std::function<void()>& op) {
  const pid_t pid = fork();
  if (pid == 0) {
    g_kill_at = n;
    g_steps = 0;
    av::set_quarantine_step_hook(kill_at_step);
    op();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return false;
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  return true;
}

// Whatever the crash left: the file is intact at its path, or an item for it
// is listed and restores the exact content. The index names no item whose
// payload is missing.
void expect_nothing_lost(const std::string& root, const std::string& file, const std::string& content,
                         const std::string& where) {
  const auto index = parse_json(read_whole_file(join_path(root, "index.json")));
  if (index && index->is_array()) {
    for (const Json& e : *index) {
      EXPECT_TRUE(path_exists(join_path(root, "files/" + e.value("id", std::string()) + ".qf")))
          << where << ": the index lists an item without its payload";
    }
  }
  av::Quarantine q(root);
  for (const auto& item : q.list()) EXPECT_TRUE(q.payload_present(item.id)) << where;
  if (path_exists(file)) {
    EXPECT_EQ(read_whole_file(file), content) << where << ": the file at the original path is damaged";
    return;
  }
  const auto items = q.list();
  const auto it = std::find_if(items.begin(), items.end(), [&](const auto& i) { return i.original_path == file; });
  ASSERT_NE(it, items.end()) << where << ": the file is gone and nothing in the quarantine holds it";
  std::string message;
  ASSERT_TRUE(q.restore(it->id, message)) << where << ": " << message;
  EXPECT_EQ(read_whole_file(file), content) << where;
}

struct CrashCase {
  const char* operation;
  // Prepares the store in the parent; returns the id the child works on ("" for quarantine).
  std::function<std::string(const std::string& root, const std::string& file, const std::string& content)> prepare;
  std::function<void(const std::string& root, const std::string& file, const std::string& content,
                     const std::string& id)>
      run;
};

}  // namespace

TEST(QuarantineCrash, KillAtEveryStepLosesNothing) {
  const auto quarantined = [](const std::string& root, const std::string& file, const std::string& content) {
    av::Quarantine q(root);
    return q.quarantine(file, detection(file, content));
  };
  const CrashCase cases[] = {
      {"quarantine", [](const std::string&, const std::string&, const std::string&) { return std::string(); },
       [](const std::string& root, const std::string& file, const std::string& content, const std::string&) {
         av::Quarantine q(root);
         q.quarantine(file, detection(file, content));
       }},
      {"restore", quarantined,
       [](const std::string& root, const std::string&, const std::string&, const std::string& id) {
         av::Quarantine q(root);
         std::string message;
         q.restore(id, message);
       }},
      {"delete", quarantined,
       [](const std::string& root, const std::string&, const std::string&, const std::string& id) {
         av::Quarantine q(root);
         q.remove(id);
       }},
  };
  const std::string content = big_content();
  for (const CrashCase& c : cases) {
    int kills = 0;
    for (int n = 1; n < 200; ++n) {
      test::TempDir dir;
      const std::string root = dir.file("q");
      // A second item already in the store must survive every crash too.
      const std::string other = dir.write("other/keep.txt", "keep me");
      {
        av::Quarantine q(root);
        ASSERT_FALSE(q.quarantine(other, detection(other, "keep me")).empty());
      }
      const std::string file = dir.write("victim/sample\xff.bin", content);
      const std::string id = c.prepare(root, file, content);
      if (std::string(c.operation) != "quarantine") {
        ASSERT_FALSE(id.empty());
      }
      const bool killed = run_killed_at(n, [&] { c.run(root, file, content, id); });
      const std::string where = std::string(c.operation) + " killed at step " + std::to_string(n);
      if (std::string(c.operation) == "delete" && !killed) {
        EXPECT_TRUE(av::Quarantine(root).list().size() == 1) << where;
      } else if (std::string(c.operation) == "delete") {
        // A delete that was cut short either finished its work or left the item whole.
        av::Quarantine q(root);
        const auto items = q.list();
        const bool still = std::any_of(items.begin(), items.end(), [&](const auto& i) { return i.id == id; });
        if (still) expect_nothing_lost(root, file, content, where);
      } else {
        expect_nothing_lost(root, file, content, where);
      }
      expect_nothing_lost(root, other, "keep me", where + " (the other item)");
      if (!killed) break;
      ++kills;
    }
    // Every operation has several steps; a harness that never killed proves nothing.
    EXPECT_GE(kills, 5) << c.operation;
  }
}
