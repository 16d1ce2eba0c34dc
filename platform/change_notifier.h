// Change notification for folder trees. A notifier watches whole trees: every
// folder below a watched root is watched, folders that appear later are
// watched as soon as their creation is noticed (and the files already inside
// them are reported, since they may have arrived before the watch did), and
// folders that are removed or moved away stop being watched. When the system
// runs out of watches the folders left unwatched are reported as a Problem
// event, never silently skipped. Lost notifications (the kernel's queue
// overflowed) are reported as an Overflow event.
//
// One thread calls `wait`; `wake` may be called from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

struct ChangeEvent {
  enum class Kind {
    File,      // a file was created, written, or moved in under this name
    Folder,    // a folder below a root is now watched (created or moved in)
    Overflow,  // notifications were lost; anything may have changed
    Problem,   // a folder could not be watched; `message` says why
  };
  Kind kind = Kind::File;
  NativePath path;
  std::string message;
};

class ChangeNotifier {
 public:
  // `watch_cap` > 0 limits this notifier to that many watched folders, as if
  // the system's limit were that low. Null when the platform offers no
  // notification at all (then `error` says why).
  static std::unique_ptr<ChangeNotifier> create(std::string* error, std::size_t watch_cap = 0);
  virtual ~ChangeNotifier() = default;

  // Watches `root` and every folder below it (folder links are not followed
  // below the root). False when the root itself cannot be watched. Folders
  // that could not be watched come back as Problem events in `out`.
  virtual bool add_tree(const NativePath& root, std::vector<ChangeEvent>& out) = 0;

  // Waits up to `timeout_ms` for changes and appends them to `out`; returns
  // early after `wake`. False when the notifier has failed for good.
  virtual bool wait(int timeout_ms, std::vector<ChangeEvent>& out) = 0;
  virtual void wake() = 0;

  // The number of folders watched right now, and the folders themselves.
  virtual std::size_t watch_count() const = 0;
  virtual std::vector<NativePath> folders() const = 0;
};
