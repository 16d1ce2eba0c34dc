// The script review under arbitrary bytes and names: never a crash, findings
// only for scripts and only from the rules of their kind, in rule order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "av/script_review.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte picks the deciding name; the rest is the file.
  static const char* const kNames[] = {"a.ps1", "b.cmd", "c.bat", "d.vbs", "e.vbe", "f.js",  "g.hta",
                                       "h.sh",  "i.zsh", "run",   "x.txt", "z.zip!m.psm1", ""};
  constexpr std::size_t kCount = sizeof kNames / sizeof kNames[0];
  const std::string_view name = size > 0 ? kNames[data[0] % kCount] : "";
  const ByteSpan bytes = size > 0 ? ByteSpan(data + 1, size - 1) : ByteSpan();
  const av::ScriptReview r = av::review_script(bytes, name);

  if (!r.is_script && (r.incomplete || !r.findings.empty() || !r.kind.empty())) __builtin_trap();
  std::string previous;
  for (const av::ScriptFinding& f : r.findings) {
    if (f.id <= previous || f.description.empty()) __builtin_trap();
    previous = f.id;
    const bool ps_or_cmd = r.kind == "PowerShell" || r.kind == "CommandScript";
    if ((f.id == "KEL-SCRIPT-001" || f.id == "KEL-SCRIPT-002") && !ps_or_cmd) __builtin_trap();
    if (f.id == "KEL-SCRIPT-003" && r.kind != "WindowsScript") __builtin_trap();
    if (f.id == "KEL-SCRIPT-004" && r.kind != "Shell") __builtin_trap();
  }
  return 0;
}
