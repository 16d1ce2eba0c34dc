// Static review of script files against four behavioural rules. Stateless,
// never fails: whatever it cannot handle marks the review incomplete.
//
// The kind comes from the lower-cased extension of the deciding name (after its
// last "/", "\" or "!"), or, for a name without extension, from a "#!" first
// line naming sh, bash or zsh. At most the first 1 MiB is reviewed; a longer
// input, an odd UTF-16 byte, control characters or an encoded-script marker
// ("#@~^") set `incomplete`. The text is lower-cased, comments are blanked,
// runs of blanks are folded, and each rule's tokens must all occur inside one
// window of 4096 characters (windows start every 2048). Time is linear in the
// reviewed length times the number of tokens.
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
  std::vector<ScriptFinding> findings;  // matched rules, in rule order
};

// `name` decides the kind: the file's path, or an archive member's name.
ScriptReview review_script(ByteSpan bytes, std::string_view name);

}  // namespace av
