// The program's entry: parse the command line, bring up the core, run exactly
// one mode, shut the core down, return the mode's status.
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console_scan.h"
#include "app/service_mode.h"
#include "core/protection_controller.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  CommandLine cl;
  switch (parse_command_line(args, cl)) {
    case ParseOutcome::PrintVersion:
      std::printf("%s\n", kProgramVersion);
      return 0;
    case ParseOutcome::PrintHelp:
      std::fputs(help_text().c_str(), stdout);
      return 0;
    case ParseOutcome::MissingReport:
      return 2;
    case ParseOutcome::Run:
      break;
  }
  const bool self_test = !cl.smoke_report.empty();
  if (self_test && (cl.browser || cl.scan || cl.service || cl.update)) return 2;

  ProtectionController controller;
  controller.start(cl.service, cl.scan || cl.update || self_test);
  int status = 0;
  if (cl.update) {
    const std::string message = controller.update_signatures();
    std::printf("%s\n", message.empty() ? "Signatures updated." : message.c_str());
    std::fflush(stdout);
    status = message.empty() ? 0 : 1;
  } else if (cl.scan) {
    status = run_console_scan(controller, cl.paths, cl.quarantine);
  } else if (cl.service) {
    status = run_service(controller);
  } else {
    std::fputs("The app window is not available in this build yet; use --scan PATH... for now.\n", stderr);
    status = 1;
  }
  controller.stop();
  return status;
}
