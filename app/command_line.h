// The command line: options are matched exactly and case-sensitively, left to
// right; --version and --help/-h act the moment they are reached.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
  bool browser = false;
  bool scan = false;
  bool service = false;
  bool quarantine = false;
  bool update = false;
  std::string smoke_report;        // empty: no self-test requested
  std::vector<std::string> paths;  // non-option arguments in order
};

enum class ParseOutcome { Run, PrintVersion, PrintHelp, MissingReport };

// Parses args (args[0], the program name, is never interpreted).
ParseOutcome parse_command_line(const std::vector<std::string>& args, CommandLine& out);

extern const char* const kProgramVersion;  // "1.0.14"
extern const char* const kProductName;     // "Keltharon Antivirus"
// The help text, header line included.
std::string help_text();
