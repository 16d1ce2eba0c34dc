#include "platform/known_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

NativePath home() {
  std::string h = env("HOME");
  if (!h.empty()) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

// XDG base directories must be absolute to count.
NativePath xdg_dir(const char* var, const char* fallback) {
  std::string v = env(var);
  if (!v.empty() && v.front() == '/') return v;
  const NativePath h = home();
  return h.empty() ? NativePath() : join_path(h, fallback);
}

// The Downloads entry of user-dirs.dirs, which reads XDG_DOWNLOAD_DIR="$HOME/...".
NativePath downloads_dir() {
  const NativePath h = home();
  if (h.empty()) return "";
  const std::string text = read_whole_file(join_path(xdg_dir("XDG_CONFIG_HOME", ".config"), "user-dirs.dirs"));
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::string key = "XDG_DOWNLOAD_DIR=\"";
    if (line.rfind(key, 0) != 0) continue;
    const auto close = line.find('"', key.size());
    if (close == std::string::npos) continue;
    std::string value = line.substr(key.size(), close - key.size());
    if (value.rfind("$HOME", 0) == 0) value = h + value.substr(5);
    if (!value.empty() && value.front() == '/') return value;
  }
  return join_path(h, "Downloads");
}

}  // namespace

NativePath known_folder_path(KnownFolder folder) {
  switch (folder) {
    case KnownFolder::RoamingAppData: return xdg_dir("XDG_CONFIG_HOME", ".config");
    case KnownFolder::LocalAppData: return xdg_dir("XDG_DATA_HOME", ".local/share");
    case KnownFolder::Profile: return home();
    case KnownFolder::Temp: {
      std::string t = env("TMPDIR");
      return t.empty() ? NativePath("/tmp") : t;
    }
    case KnownFolder::Downloads: return downloads_dir();
  }
  return "";
}
