// The console scanner: one line per file, an optional quarantine of each
// detection, a summary, and the exit status 0 (nothing found), 1 (threats)
// or 2 (only scan errors, or no paths).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class ProtectionController;

int run_console_scan(ProtectionController& controller, const std::vector<std::string>& paths, bool quarantine,
                     std::FILE* out = stdout, std::FILE* err = stderr);
