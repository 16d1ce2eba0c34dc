#include "av/package_catalog.h"

#include <openssl/evp.h>

#include <vector>

#include "platform/encoding.h"

namespace av {
namespace {

// MD5 of a file, streamed; empty when it cannot be read.
std::string file_md5(const NativePath& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::string out;
  if (ctx && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1) {
    std::vector<unsigned char> buf(1 << 16);
    bool ok = true;
    for (;;) {
      const std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
      if (n > 0 && EVP_DigestUpdate(ctx, buf.data(), n) != 1) ok = false;
      if (n < buf.size()) {
        ok = ok && !std::ferror(f);
        break;
      }
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (ok && EVP_DigestFinal_ex(ctx, md, &len) == 1) out = to_hex(ByteSpan(md, len));
  }
  EVP_MD_CTX_free(ctx);
  std::fclose(f);
  return out;
}

}  // namespace

PackageCatalog::PackageCatalog(NativePath info_dir) : info_dir_(std::move(info_dir)) {}

PackageCatalog& PackageCatalog::system() {
  static PackageCatalog catalog("/var/lib/dpkg/info");
  return catalog;
}

void PackageCatalog::refresh_locked() {
  FileStatus st;
  const std::int64_t mtime = file_status(info_dir_, st) && st.directory ? st.mtime_ns : -2;
  if (mtime == loaded_mtime_) return;
  loaded_mtime_ = mtime;
  entries_.clear();
  std::vector<DirEntry> files;
  if (mtime == -2 || !list_directory(info_dir_, files)) return;
  const std::string suffix = ".md5sums";
  for (const DirEntry& f : files) {
    if (!f.regular || f.name.size() <= suffix.size() ||
        f.name.compare(f.name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::string package = f.name.substr(0, f.name.size() - suffix.size());
    if (const auto colon = package.find(':'); colon != std::string::npos) package.resize(colon);  // drop ":arch"
    const std::string text = read_whole_file(join_path(info_dir_, f.name));
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      const std::string_view line(text.data() + pos, end - pos);
      pos = end + 1;
      // "<md5>  <path>": 32 hex digits, two spaces, a relative path.
      if (line.size() < 35 || line[32] != ' ' || line[33] != ' ') continue;
      Bytes digest;
      if (!from_hex(line.substr(0, 32), digest)) continue;
      entries_["/" + std::string(line.substr(34))] = Entry{to_hex(digest), package};
    }
  }
}

bool PackageCatalog::verify(const NativePath& path, std::string& package) {
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    refresh_locked();
    const auto it = entries_.find(from_native(path));
    if (it == entries_.end()) return false;
    entry = it->second;
  }
  if (file_md5(path) != entry.md5) return false;
  package = entry.package;
  return true;
}

}  // namespace av
