// On-access blocking: opens (and executions) of files inside guarded folders
// wait for a verdict before they may proceed. Every open made by another
// process is put to `decide` on one of the guard's worker threads; a true
// answer denies the open (the opener sees EPERM), false allows it. Opens made
// by this process itself are allowed at once without asking, so the scanner
// can read the file it is judging. An open still undecided after the time
// bound is allowed, so no open ever waits longer than that; an open that
// arrives while the guard is swamped is allowed at once as well. Stopping the
// guard (or the process dying) allows everything still pending.
//
// Needs root and a kernel that grants permission events; otherwise `create`
// returns null and says why in one sentence.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/file_system.h"

struct AccessRequest {
  NativePath path;   // the file being opened, as the kernel names it now
  int fd = -1;       // a read-only descriptor of that file, valid during `decide`
  int pid = 0;       // the opening process
  bool exec = false; // the open is for execution
};

class AccessGuard {
 public:
  using Decide = std::function<bool(const AccessRequest&)>;  // true: deny
  enum class Quick { Allow, Deny, Ask };
  // Answers on the thread that reads the requests, before any hand-off, when
  // the answer is known without work (a cached verdict). It must not block
  // and must not open files in guarded folders; Ask passes the request on to
  // `decide`. May be empty.
  using QuickDecide = std::function<Quick(const AccessRequest&)>;

  static std::unique_ptr<AccessGuard> create(Decide decide, int answer_within_ms, std::string* why_not,
                                             QuickDecide quick = {});
  virtual ~AccessGuard() = default;

  // Guards the files directly inside `dir` (not its subfolders; guard each).
  virtual bool add_folder(const NativePath& dir, std::string* error) = 0;
  // Allows everything pending and ends the guard's threads. Idempotent.
  virtual void stop() = 0;
};
