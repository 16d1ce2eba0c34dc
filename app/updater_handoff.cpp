#include "app/updater_handoff.h"

#include <vector>

#include "platform/encoding.h"
#include "platform/process_runner.h"

const char* const kUpdaterFileName = "KeltharonUpdater";

NativePath product_executable_path(const NativePath& exe_dir, const std::string&) {
  // Every product key this program knows names the antivirus executable.
  return join_path(exe_dir, "keltharon-antivirus");
}

bool launch_updater(const NativePath& exe_dir, const std::string& product, const std::string& version) {
  const NativePath updater = join_path(exe_dir, kUpdaterFileName);
  FileStatus st;
  if (!file_status(updater, st, /*follow=*/false) || !st.regular) return false;
  const std::vector<std::string> args = {from_native(updater), "--product", product, "--version", version,
                                         "--executable", from_native(product_executable_path(exe_dir, product))};
  return run_process(args) == kUpdaterTakesOver;
}
