#include "av/signature_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace av {
namespace {

constexpr std::uint64_t kMaxFeedBytes = 536870912;
constexpr std::uint32_t kMaxEntries = 16000000;
constexpr std::uint32_t kMaxNames = 100000;
constexpr char kMagic[8] = {'A', 'V', 'S', 'G', '1', 0, 0, 0};
constexpr std::string_view kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Reads exactly the file's size as queried first; any change in between fails.
bool read_feed_file(const NativePath& path, Bytes& out, std::string& error) {
  FileStatus st;
  if (!file_status(path, st) || !st.regular || st.size < 0 ||
      static_cast<std::uint64_t>(st.size) > kMaxFeedBytes) {
    error = "signature feed is unavailable or exceeds 512 MiB";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + from_native(path);
    return false;
  }
  out.assign(static_cast<std::size_t>(st.size), 0);
  std::size_t got = 0;
  bool ok = true;
  while (got < out.size()) {
    const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) { ok = false; break; }
    got += static_cast<std::size_t>(r);
  }
  if (ok) {
    char peek = 0;
    ssize_t r;
    do r = ::read(fd, &peek, 1); while (r < 0 && errno == EINTR);
    ok = r == 0;
  }
  ::close(fd);
  if (!ok) {
    error = "signature feed changed or is truncated";
    return false;
  }
  return true;
}

}  // namespace

bool parse_signature_feed(ByteSpan b, SignatureDB::Data& out, std::string& error) {
  if (b.size() < 8 || std::memcmp(b.data(), kMagic, 8) != 0) {
    error = "not a signature feed";
    return false;
  }
  if (b.size() < 24) {
    error = "truncated";
    return false;
  }
  if (b.size() > kMaxFeedBytes) {
    error = "signature feed is unavailable or exceeds 512 MiB";
    return false;
  }
  std::uint64_t version = 0;
  std::uint32_t entries = 0, names = 0;
  read_le(b, 8, version);
  read_le(b, 16, entries);
  read_le(b, 20, names);
  const std::uint64_t body = b.size() - 24;
  if (entries > kMaxEntries || names > kMaxNames || names > entries || body / 12 < entries ||
      body / 2 < names || (entries >= 1 && names < 1)) {
    error = "invalid signature feed counts";
    return false;
  }
  SignatureDB::Data data;
  data.version = version;
  data.names.reserve(names);
  ByteReader r(b.subspan(24));
  for (std::uint32_t i = 0; i < names; ++i) {
    std::uint16_t len = 0;
    if (!r.read(len)) {
      error = "truncated names";
      return false;
    }
    ByteSpan text;
    if (!r.read_bytes(len, text)) {
      error = "truncated name";
      return false;
    }
    data.names.emplace_back(as_chars(text));
  }
  data.keys.resize(entries);
  data.name_index.resize(entries);
  if (r.remaining() / 12 < entries) {
    error = "truncated entries";
    return false;
  }
  const std::uint8_t* p = b.data() + 24 + r.position();
  for (std::uint32_t i = 0; i < entries; ++i, p += 12) {
    std::uint64_t key;
    std::uint32_t idx;
    std::memcpy(&key, p, 8);  // this program runs on little-endian machines only
    std::memcpy(&idx, p + 8, 4);
    if (idx >= names) {
      error = "invalid signature name index";
      return false;
    }
    data.keys[i] = key;
    data.name_index[i] = idx;
  }
  if (!std::is_sorted(data.keys.begin(), data.keys.end())) {
    error = "entries not sorted";
    return false;
  }
  if (r.remaining() != static_cast<std::size_t>(entries) * 12) {
    error = "unexpected trailing feed data";
    return false;
  }
  out = std::move(data);
  return true;
}

static_assert(std::endian::native == std::endian::little, "the feed reader assumes a little-endian machine");

bool SignatureDB::load(const NativePath& path, std::string* error) {
  std::string why;
  Bytes content;
  if (!read_feed_file(path, content, why)) {
    if (error) *error = why;
    return false;
  }
  return load_bytes(content, error);
}

bool SignatureDB::load_bytes(ByteSpan content, std::string* error) {
  auto data = std::make_shared<Data>();
  std::string why;
  if (!parse_signature_feed(content, *data, why)) {
    if (error) *error = why;
    return false;
  }
  std::shared_ptr<const Data> old;
  {
    std::unique_lock lock(mutex_);
    old = std::move(data_);
    data_ = std::move(data);
  }
  return true;  // `old` is released here, outside the lock
}

std::uint64_t SignatureDB::key_of(const Digest& d) {
  std::uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | d[static_cast<std::size_t>(i)];
  return k;
}

bool SignatureDB::lookup(const Digest& digest, std::string& name) const {
  std::shared_ptr<const Data> data;
  {
    std::shared_lock lock(mutex_);
    data = data_;
  }
  if (!data) return false;
  const std::uint64_t key = key_of(digest);
  const auto it = std::lower_bound(data->keys.begin(), data->keys.end(), key);
  if (it == data->keys.end() || *it != key) return false;
  name = data->names[data->name_index[static_cast<std::size_t>(it - data->keys.begin())]];
  return true;
}

std::size_t SignatureDB::count() const {
  std::shared_lock lock(mutex_);
  return data_ ? data_->keys.size() : 0;
}

std::uint64_t SignatureDB::version() const {
  std::shared_lock lock(mutex_);
  return data_ ? data_->version : 0;
}

std::string encode_signature_feed(std::uint64_t version, std::vector<FeedEntry> entries) {
  auto put = [](std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) order.emplace_back(SignatureDB::key_of(entries[i].digest), i);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::map<std::string, std::uint32_t> ids;
  std::vector<const std::string*> names;
  std::vector<std::uint32_t> index(entries.size());
  for (const auto& [key, i] : order) {
    std::string& n = entries[i].name;
    if (n.size() > 65535) n.resize(65535);
    const auto [it, fresh] = ids.emplace(n, static_cast<std::uint32_t>(names.size()));
    if (fresh) names.push_back(&it->first);
    index[i] = it->second;
  }
  std::string out("AVSG1\0\0\0", 8);
  put(out, version, 8);
  put(out, entries.size(), 4);
  put(out, names.size(), 4);
  for (const std::string* n : names) {
    put(out, n->size(), 2);
    out += *n;
  }
  for (const auto& [key, i] : order) {
    put(out, key, 8);
    put(out, index[i], 4);
  }
  return out;
}

bool builtin_signature_match(ByteSpan bytes, std::string& name) {
  if (bytes.size() < kEicar.size() || bytes.size() > 1024) return false;
  if (as_chars(bytes).find(kEicar) == std::string_view::npos) return false;
  name = "Eicar-Test-Signature";
  return true;
}

}  // namespace av
