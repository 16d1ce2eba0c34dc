#include "app/command_line.h"

const char* const kProgramVersion = "1.0.14";
const char* const kProductName = "Keltharon Antivirus";

ParseOutcome parse_command_line(const std::vector<std::string>& args, CommandLine& out) {
  out = CommandLine{};
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--gui-smoke-test") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return ParseOutcome::MissingReport;
      out.smoke_report = args[++i];
    } else if (a == "--browser") {
      out.browser = true;
    } else if (a == "--scan") {
      out.scan = true;
    } else if (a == "--service") {
      out.service = true;
    } else if (a == "--quarantine") {
      out.quarantine = true;
    } else if (a == "--update") {
      out.update = true;
    } else if (a == "--version") {
      return ParseOutcome::PrintVersion;
    } else if (a == "--help" || a == "-h") {
      return ParseOutcome::PrintHelp;
    } else if (a.empty() || a.front() == '-') {
      continue;
    } else {
      out.paths.push_back(a);
    }
  }
  return ParseOutcome::Run;
}

std::string help_text() {
  return std::string(kProductName) + " " + kProgramVersion +
         "\n\n"
         "  keltharon-antivirus                 open the app\n"
         "  keltharon-antivirus --browser       open the app in your web browser\n"
         "  keltharon-antivirus --scan PATH...  scan files or folders (CLI)\n"
         "      --quarantine     move anything found into quarantine\n"
         "  keltharon-antivirus --service       run real-time protection headless\n"
         "                                      (Linux: run as root to block, not just detect)\n"
         "  keltharon-antivirus --update        download the latest signatures\n"
         "  keltharon-antivirus --version\n"
         "\n"
         "Scan exit codes: 0 = no threats or errors, 1 = threats found,\n"
         "                 2 = scan errors with no threats (or no paths supplied).\n";
}
