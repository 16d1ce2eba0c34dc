#include "core/data_directory.h"

#include <cstdlib>
#include <mutex>

#include "platform/known_folders.h"
#include "platform/process_info.h"

NativePath data_dir() {
  static std::once_flag once;
  static NativePath cached;
  std::call_once(once, [] {
    if (const char* env = std::getenv("AV_DATA_DIR")) {
      cached = to_native(env);
    } else {
      cached = join_path(known_folder_path(KnownFolder::RoamingAppData), "Keltharon Antivirus");
    }
    if (!cached.empty()) create_directories(cached);
  });
  return cached;
}

NativePath executable_dir() { return parent_path(executable_path()); }

NativePath models_dir() {
  const NativePath beside = join_path(executable_dir(), "models");
  if (is_real_directory(beside)) return beside;
  return join_path(data_dir(), "models");
}
