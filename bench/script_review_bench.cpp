// Throughput of the static script review on large scripts, one per kind,
// each as long as the review reads (1 MiB) and free of findings so every
// window is searched for every rule of the kind.
//   script_review_bench [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "av/script_review.h"

namespace {

std::string repeat_to(const std::string& block, std::size_t size) {
  std::string s;
  s.reserve(size + block.size());
  while (s.size() < size) s += block;
  s.resize(size);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  constexpr std::size_t kSize = 1048576;
  struct Script {
    const char* name;
    std::string text;
  };
  const Script scripts[] = {
      {"big.ps1", repeat_to("# fetch the list\n$items = Get-ChildItem -Path $env:TEMP -Recurse | Where-Object { $_.Length -gt 0 }\n"
                            "<# block\n comment #>\nWrite-Host \"Found $($items.Count) items in `\"temp`\"\"\n",
                            kSize)},
      {"big.cmd", repeat_to("@echo off\r\nrem housekeeping\r\nset TARGET=%TEMP%\\build\r\n:: copy\r\nxcopy /E /I src \"%TARGET%\"\r\n", kSize)},
      {"big.js", repeat_to("// helper\nvar fso = new ActiveXObject('Scripting.FileSystemObject'); /* files */\n"
                           "var f = fso.GetFolder(\"C:\\\\temp\"); WScript.Echo(f.Files.Count);\n",
                           kSize)},
      {"big.vbs", repeat_to("' helper\nSet fso = CreateObject(\"Scripting.FileSystemObject\")\nWScript.Echo fso.GetFolder(\"C:\\temp\").Files.Count\n", kSize)},
      {"big.sh", repeat_to("#!/bin/sh\n# build step\nfor f in src/*.c; do cc -c \"$f\" -o \"${f%.c}.o\"; done\ncurl -s https://example.invalid/status > status.txt\n", kSize)},
  };
  for (const Script& s : scripts) {
    std::size_t findings = 0;
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      const av::ScriptReview review = av::review_script(as_bytes(s.text), s.name);
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      findings += review.findings.size() + (review.is_script ? 0 : 1000);
    }
    std::printf("%-8s %7zu bytes  best %7.3f ms  %8.1f MB/s  (findings %zu)\n", s.name, s.text.size(), best * 1e3,
                static_cast<double>(s.text.size()) / best / 1e6, findings);
  }
  return 0;
}
