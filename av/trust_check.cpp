#include "av/trust_check.h"

#include <map>
#include <mutex>
#include <tuple>

#include "av/authenticode_verifier.h"
#include "av/package_catalog.h"

namespace av {
namespace {

constexpr std::int64_t kMaxVerifyBytes = 536870912;
constexpr std::size_t kCacheLimit = 4096;

// Verification results by path, size and last-write time: a signature check
// reads and hashes the whole file, and the same files are rescanned often.
struct TrustCache {
  std::mutex mutex;
  std::map<std::tuple<std::string, std::int64_t, std::int64_t>, std::pair<bool, std::string>> entries;
};

TrustCache& cache() {
  static TrustCache c;
  return c;
}

bool has_dot_dot_component(std::string_view p) {
  std::size_t pos = 0;
  while (pos <= p.size()) {
    std::size_t end = p.find('/', pos);
    if (end == std::string_view::npos) end = p.size();
    if (p.substr(pos, end - pos) == "..") return true;
    pos = end + 1;
  }
  return false;
}

bool check_signature(const NativePath& path, std::string& publisher) {
  std::string package;
  if (PackageCatalog::system().verify(path, package)) {
    publisher = package + " (Debian package)";
    return true;
  }
  const std::string content = read_whole_file(path);
  if (content.size() < 2 || content[0] != 'M' || content[1] != 'Z') return false;
  return verify_authenticode(as_bytes(content), TrustStore{}, publisher);
}

}  // namespace

bool is_signed_by_trusted_publisher(const NativePath& path, std::string& publisher) {
  FileStatus st;
  if (!file_status(path, st) || !st.regular || st.size > kMaxVerifyBytes) return false;
  const auto key = std::make_tuple(from_native(path), st.size, st.mtime_ns);
  {
    std::lock_guard lock(cache().mutex);
    const auto it = cache().entries.find(key);
    if (it != cache().entries.end()) {
      if (it->second.first) publisher = it->second.second;
      return it->second.first;
    }
  }
  std::string name;
  const bool ok = check_signature(path, name);
  FileStatus after;
  if (file_status(path, after) && after.size == st.size && after.mtime_ns == st.mtime_ns) {
    std::lock_guard lock(cache().mutex);
    if (cache().entries.size() >= kCacheLimit) cache().entries.clear();
    cache().entries[key] = {ok, name};
  }
  if (ok) publisher = name;
  return ok;
}

bool is_operating_system_file(const NativePath& path) {
  const std::string p = from_native(path);
  // A ".." component could climb out of a system folder, so such a path is never exempt.
  if (has_dot_dot_component(p)) return false;
  static const char* const kSystemFolders[] = {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/",
                                               "/libx32/", "/boot/", "/opt/"};
  for (const char* prefix : kSystemFolders) {
    if (p.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace av
