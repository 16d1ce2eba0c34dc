// Static review of script files against four behavioural rules. Stateless,
// never fails: whatever it cannot handle marks the review incomplete.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace av {

struct ScriptFinding {
  std::string id;
  std::string description;
};

struct ScriptReview {
  bool is_script = false;
  bool incomplete = false;
  std::string kind;  // "PowerShell", "CommandScript", "WindowsScript", "Shell", or empty
  std::vector<ScriptFinding> findings;
};

// `name` decides the kind: the file's path, or an archive member's name.
ScriptReview review_script(ByteSpan bytes, std::string_view name);

}  // namespace av
