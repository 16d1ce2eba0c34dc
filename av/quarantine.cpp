#include "av/quarantine.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/file_stream.h"
#include "platform/random.h"
#include "platform/sha256.h"

namespace av {

namespace {

constexpr char kKey[17] = "QuietHarborStone";
constexpr std::size_t kChunk = 65536;

QuarantineStepHook g_step_hook = nullptr;

void step(const char* name) {
  if (g_step_hook) g_step_hook(name);
}

bool is_lower_hex(const std::string& s, std::size_t length) {
  if (s.size() != length) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool valid_original_path(const std::string& p) {
  if (p.empty() || p.front() != '/' || p.find('\0') != std::string::npos) return false;
  const std::string last = file_name(p);
  return !last.empty() && last != "." && last != "..";
}

std::string random_suffix() {
  try {
    return random_hex(6);
  } catch (...) {
    return "";
  }
}

// Copies `from` to the new file `to`, XORing every byte with the key at its
// absolute offset. The digest is always of the unscrambled side: fed before
// scrambling when quarantining, after unscrambling when restoring. On failure
// the destination is removed.
bool scrambled_copy(const NativePath& from, const NativePath& to, bool quarantining, std::int64_t& bytes,
                    std::string& digest) {
  InputFile in;
  if (!in.open(from, /*no_follow=*/true)) return false;
  // Payloads are private to the user; a restored file gets ordinary permissions.
  OutputFile out;
  if (!out.create(to, nullptr, quarantining ? 0600 : 0666)) return false;
  Sha256 hash;
  std::vector<std::uint8_t> buf(kChunk);
  std::uint64_t total = 0;
  bool ok = true;
  for (;;) {
    const std::int64_t n = in.read(buf.data(), buf.size());
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    const std::size_t count = static_cast<std::size_t>(n);
    if (quarantining) hash.update(buf.data(), count);
    for (std::size_t i = 0; i < count; ++i) buf[i] ^= static_cast<std::uint8_t>(kKey[(total + i) % 16]);
    if (!quarantining) hash.update(buf.data(), count);
    if (!out.write(buf.data(), count)) {
      ok = false;
      break;
    }
    total += count;
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      ok = false;
      break;
    }
    step("copy.chunk");
  }
  ok = out.finish() && ok;
  if (!ok) {
    remove_file(to);
    return false;
  }
  sync_directory(parent_path(to));
  bytes = static_cast<std::int64_t>(total);
  const Digest d = hash.finish();
  digest = to_hex(ByteSpan(d.data(), d.size()));
  return true;
}

// The store's own atomic write: "<target>.tmp-" and 12 random hex characters,
// created exclusively, flushed, then renamed over the target.
bool atomic_write(const NativePath& target, const std::string& content) {
  NativePath temp;
  OutputFile out;
  bool created = false;
  for (int attempt = 0; attempt < 8 && !created; ++attempt) {
    const std::string suffix = random_suffix();
    if (suffix.empty()) return false;
    temp = target + ".tmp-" + suffix;
    int err = 0;
    created = out.create(temp, &err);
    if (!created && err != EEXIST) return false;
  }
  if (!created) return false;
  bool ok = out.write(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  ok = out.finish() && ok;
  if (ok) step("write.temp");
  ok = ok && rename_replace(temp, target);
  if (!ok) {
    remove_file(temp);
    return false;
  }
  step("write.renamed");
  return true;
}

}  // namespace

void set_quarantine_step_hook(QuarantineStepHook hook) { g_step_hook = hook; }

Quarantine::Quarantine(NativePath root) : root_(std::move(root)) {
  create_directories(files_dir());
  load();
}

NativePath Quarantine::files_dir() const { return join_path(root_, "files"); }
NativePath Quarantine::payload_path(const std::string& id) const { return join_path(files_dir(), id + ".qf"); }
NativePath Quarantine::metadata_path(const std::string& id) const { return join_path(files_dir(), id + ".json"); }

Json Quarantine::item_json(const QuarantineItem& item) {
  Json j = Json::object();
  j["id"] = item.id;
  j["original_path"] = item.original_path;
  j["name"] = item.name;
  j["detail"] = item.detail;
  j["sha256"] = item.sha256;
  j["size"] = item.size;
  j["quarantined_at"] = item.quarantined_at;
  return j;
}

Json Quarantine::stored_json(const QuarantineItem& item) {
  Json j = item_json(item);
  if (!is_valid_utf8(item.original_path))
    j["original_path_hex"] = to_hex(as_bytes(item.original_path));
  return j;
}

bool Quarantine::item_from_json(const Json& value, QuarantineItem& out) {
  if (!value.is_object()) return false;
  QuarantineItem item;
  const auto text = [&](const char* key, std::string& field) {
    const auto it = value.find(key);
    if (it == value.end()) return true;
    if (!it->is_string()) return false;
    field = it->get<std::string>();
    return true;
  };
  const auto integer = [&](const char* key, std::int64_t& field) {
    const auto it = value.find(key);
    if (it == value.end()) return true;
    if (it->is_number_unsigned()) {
      if (it->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
      field = static_cast<std::int64_t>(it->get<std::uint64_t>());
      return true;
    }
    if (!it->is_number_integer()) return false;
    field = it->get<std::int64_t>();
    return true;
  };
  if (!text("id", item.id) || !text("original_path", item.original_path) || !text("name", item.name) ||
      !text("detail", item.detail) || !text("sha256", item.sha256) || !integer("size", item.size) ||
      !integer("quarantined_at", item.quarantined_at))
    return false;
  // A path whose bytes are not UTF-8 comes back from its hex form; the display
  // text beside it cannot reproduce those bytes.
  if (const auto hex = value.find("original_path_hex"); hex != value.end()) {
    Bytes raw;
    if (!hex->is_string() || !from_hex(hex->get<std::string>(), raw)) return false;
    item.original_path.assign(raw.begin(), raw.end());
  }
  if (!is_lower_hex(item.id, 24) || item.size < 0) return false;
  if (!item.sha256.empty() && !is_lower_hex(item.sha256, 64)) return false;
  if (!valid_original_path(item.original_path)) return false;
  out = std::move(item);
  return true;
}

int Quarantine::find(const std::string& id) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].id == id) return static_cast<int>(i);
  return -1;
}

void Quarantine::load() {
  items_.clear();
  if (const auto index = parse_json(read_whole_file(join_path(root_, "index.json"))); index && index->is_array()) {
    for (const Json& v : *index) {
      QuarantineItem item;
      if (item_from_json(v, item) && find(item.id) < 0) items_.push_back(std::move(item));
    }
  }
  // Recovery records of items the index lost (a crash between the steps).
  std::vector<DirEntry> entries;
  if (!list_directory(files_dir(), entries)) return;
  for (const DirEntry& e : entries) {
    if (e.symlink || !e.regular || e.name.size() != 24 + 5 || e.name.compare(24, 5, ".json") != 0) continue;
    const std::string id = e.name.substr(0, 24);
    if (find(id) >= 0) continue;
    const auto doc = parse_json(read_whole_file(join_path(files_dir(), e.name)));
    QuarantineItem item;
    if (!doc || !item_from_json(*doc, item) || item.id != id) continue;
    FileStatus st;
    if (!file_status(payload_path(id), st, /*follow=*/false) || !st.regular) continue;
    items_.push_back(std::move(item));
  }
}

bool Quarantine::save_index() {
  Json array = Json::array();
  for (const QuarantineItem& item : items_) array.push_back(stored_json(item));
  return atomic_write(join_path(root_, "index.json"), dump_json(array, 2));
}

bool Quarantine::write_metadata(const QuarantineItem& item) {
  return atomic_write(metadata_path(item.id), dump_json(stored_json(item), 2));
}

bool Quarantine::original_unchanged(const NativePath& path, std::int64_t size, std::int64_t mtime) const {
  FileStatus st;
  return file_status(path, st, /*follow=*/false) && st.regular && !st.symlink && st.size == size &&
         st.mtime_ns == mtime;
}

std::string Quarantine::quarantine(const NativePath& path, const ScanResult& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  FileStatus st;
  if (!file_status(path, st, /*follow=*/false) || !st.regular || st.symlink) return "";
  NativePath canon;
  if (!canonical_path(path, canon)) return "";
  NativePath root_canon;
  if (!weakly_canonical_path(root_, root_canon) || path_is_within(canon, root_canon)) return "";
  FileStatus before;
  if (!file_status(canon, before, /*follow=*/false) || !before.regular || before.symlink) return "";

  std::string id;
  try {
    id = random_hex(12);
  } catch (...) {
    return "";
  }
  const NativePath payload = payload_path(id);
  std::int64_t bytes = 0;
  std::string digest;
  if (!scrambled_copy(canon, payload, /*quarantining=*/true, bytes, digest)) return "";
  step("quarantine.payload");
  if (!original_unchanged(canon, bytes, before.mtime_ns) || (!result.sha256.empty() && result.sha256 != digest)) {
    remove_file(payload);
    return "";
  }

  QuarantineItem item;
  item.id = id;
  item.original_path = from_native(canon);
  item.name = result.name;
  item.detail = result.detail;
  item.sha256 = digest;
  item.size = bytes;
  item.quarantined_at = now_ms();
  if (!write_metadata(item)) {
    remove_file(payload);
    return "";
  }
  step("quarantine.metadata");
  items_.push_back(item);
  if (!save_index()) {
    items_.pop_back();
    remove_file(payload);
    remove_file(metadata_path(id));
    return "";
  }
  step("quarantine.index");
  if (original_unchanged(canon, bytes, before.mtime_ns) && remove_file_durable(canon)) {
    step("quarantine.original_removed");
    return id;
  }
  // The original stays: withdraw the item, but only drop its copy once the
  // saved index no longer names it.
  items_.pop_back();
  if (save_index()) {
    remove_file(payload);
    remove_file(metadata_path(id));
  } else {
    items_.push_back(item);
  }
  return "";
}

bool Quarantine::restore(const std::string& id, std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int pos = find(id);
  if (pos < 0) {
    message = "Not found";
    return false;
  }
  const QuarantineItem item = items_[static_cast<std::size_t>(pos)];
  const NativePath dest = to_native(item.original_path);
  FileStatus st;
  int err = 0;
  if (file_status(dest, st, /*follow=*/false, &err) || err != ENOENT) {
    message = "The original path already exists or cannot be checked; move it before restoring";
    return false;
  }
  // An index edited by hand could aim a restore into the store itself.
  NativePath dest_canon, root_canon;
  if (!weakly_canonical_path(dest, dest_canon) || !weakly_canonical_path(root_, root_canon) ||
      path_is_within(dest_canon, root_canon)) {
    message = "The original path lies inside the quarantine folder; the file can't be restored there";
    return false;
  }
  const NativePath payload = payload_path(id);
  if (!file_status(payload, st, /*follow=*/false) || !st.regular || st.symlink) {
    message = "The quarantine payload is missing or is not a regular file";
    return false;
  }
  if (!create_directories(parent_path(dest))) {
    message = "Couldn't create the original folder";
    return false;
  }
  const std::string suffix = random_suffix();
  const NativePath temp = dest + ".restore-" + suffix;
  std::int64_t bytes = 0;
  std::string digest;
  if (suffix.empty() || !scrambled_copy(payload, temp, /*quarantining=*/false, bytes, digest)) {
    message = "Couldn't read the quarantine payload or write the restored file";
    return false;
  }
  step("restore.temp");
  if (bytes != item.size || (!item.sha256.empty() && item.sha256 != digest)) {
    remove_file(temp);
    message = "The quarantine payload failed its size or SHA-256 integrity check";
    return false;
  }
  if (!rename_no_replace(temp, dest)) {
    remove_file(temp);
    message = "Couldn't restore the file; the destination may already exist";
    return false;
  }
  step("restore.renamed");
  if (!write_metadata(item)) {
    message = "File restored, but couldn't save recovery metadata; the quarantine copy has been kept";
    return false;
  }
  step("restore.metadata");
  items_.erase(items_.begin() + pos);
  if (!save_index()) {
    items_.insert(items_.begin() + pos, item);
    message = "File restored, but couldn't update the quarantine index; the quarantine copy has been kept";
    return false;
  }
  step("restore.index");
  if (!remove_file_durable(payload)) {
    items_.insert(items_.begin() + pos, item);
    save_index();
    message = "File restored, but couldn't remove the quarantine copy; its record has been kept";
    return false;
  }
  step("restore.payload_removed");
  remove_file_durable(metadata_path(id));
  step("restore.metadata_removed");
  message.clear();
  return true;
}

bool Quarantine::remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int pos = find(id);
  if (pos < 0) return false;
  const QuarantineItem item = items_[static_cast<std::size_t>(pos)];
  FileStatus st;
  if (!file_status(payload_path(id), st, /*follow=*/false) || !st.regular || st.symlink) return false;
  if (!write_metadata(item)) return false;
  step("remove.metadata");
  items_.erase(items_.begin() + pos);
  if (!save_index()) {
    items_.insert(items_.begin() + pos, item);
    return false;
  }
  step("remove.index");
  if (!remove_file_durable(payload_path(id))) {
    items_.insert(items_.begin() + pos, item);
    save_index();
    return false;
  }
  step("remove.payload_removed");
  remove_file_durable(metadata_path(id));
  step("remove.metadata_removed");
  return true;
}

std::vector<QuarantineItem> Quarantine::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_;
}

bool Quarantine::payload_present(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  FileStatus st;
  return file_status(payload_path(id), st, /*follow=*/false) && st.regular && !st.symlink;
}

}  // namespace av
