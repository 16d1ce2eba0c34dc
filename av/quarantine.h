// The quarantine store: detected files moved out of harm's way in a scrambled
// form that cannot run, and put back on request.
//
// Layout under the root: "index.json" (every item, in list order) and, in the
// folder "files", per item "<id>.qf" (the content XORed with the 16-byte key
// "QuietHarborStone", same length, no header) and "<id>.json" (the item, the
// recovery record). Every change runs payload, metadata file, index, and only
// then removes a file, undoing each failed step, so at every instant the file
// is at its original path or a complete, flushed quarantine copy with its
// metadata file exists. An item whose metadata file and payload survive is
// listed again at the next start even when the index lost it.
//
// Paths are kept as their exact bytes. When an original path is not valid
// UTF-8, the stored documents carry "original_path_hex" (the bytes in hex)
// beside the display text, so restore recreates exactly the original name.
//
// Every operation holds the store's mutex for its whole duration.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "av/scan_result.h"
#include "platform/file_system.h"
#include "platform/json_text.h"

namespace av {

struct QuarantineItem {
  std::string id;             // 24 lower-case hex characters
  std::string original_path;  // canonical absolute path, exact bytes
  std::string name;           // detection name
  std::string detail;         // detection detail
  std::string sha256;         // lower-case hex of the original content ("" accepted when read)
  std::int64_t size = 0;      // original length in bytes
  std::int64_t quarantined_at = 0;  // ms since 1970
};

class Quarantine {
 public:
  // Creates "files" under `root` if missing and loads the item list.
  explicit Quarantine(NativePath root);

  // Moves a regular file into the store; the new id, or "" when the file stays
  // where it is (not a regular file, inside the store, changed while copied,
  // digest differs from `result.sha256`, or a write failed).
  std::string quarantine(const NativePath& path, const ScanResult& result);
  // Puts the item back at its original path after checking size and digest.
  // False with one fixed sentence in `message` otherwise; a few messages say
  // the file was restored but the quarantine copy was kept.
  bool restore(const std::string& id, std::string& message);
  // Deletes the item and its files for good.
  bool remove(const std::string& id);
  std::vector<QuarantineItem> list() const;
  // True when the item's payload is present as a regular file.
  bool payload_present(const std::string& id) const;

  // The item's seven-key JSON object ("id", "original_path", "name", "detail",
  // "sha256", "size", "quarantined_at").
  static Json item_json(const QuarantineItem& item);
  // The stored form: item_json plus "original_path_hex" when the path is not valid UTF-8.
  static Json stored_json(const QuarantineItem& item);
  // Reads an item back; false when any validity rule fails.
  static bool item_from_json(const Json& value, QuarantineItem& out);

  const NativePath& root() const { return root_; }

 private:
  NativePath files_dir() const;
  NativePath payload_path(const std::string& id) const;
  NativePath metadata_path(const std::string& id) const;
  void load();
  bool save_index();
  bool write_metadata(const QuarantineItem& item);
  bool original_unchanged(const NativePath& path, std::int64_t size, std::int64_t mtime) const;
  int find(const std::string& id) const;

  NativePath root_;
  mutable std::mutex mutex_;
  std::vector<QuarantineItem> items_;
};

// Test seam: when set, called with a step name at every point where the store
// has just changed something on disk. The program never sets it.
using QuarantineStepHook = void (*)(const char* step);
void set_quarantine_step_hook(QuarantineStepHook hook);

}  // namespace av
