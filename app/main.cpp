// The program's entry: parse the command line, bring up the core, run exactly
// one mode, shut the core down, return the mode's status.
#include <cstdio>
#include <string>
#include <vector>

#include "api/api_server.h"
#include "app/browser_mode.h"
#include "api/state_document.h"
#include "app/command_line.h"
#include "app/desktop_window.h"
#include "app/console_scan.h"
#include "app/service_mode.h"
#include "app/updater_handoff.h"
#include "core/data_directory.h"
#include "core/protection_controller.h"
#include "platform/process_info.h"

namespace {

bool updater_takes_over(const ProtectionController& controller) {
  const Json settings = controller.settings_json();
  const auto auto_update = settings.find("auto_update");
  const bool offer_update = auto_update == settings.end() || !auto_update->is_boolean() || auto_update->get<bool>();
  return offer_update && !is_elevated() && launch_updater(executable_dir(), "antivirus", kProgramVersion);
}

// The desktop window, the browser mode and the window self-test. The updater
// may take over first (never in a self-test); then the local server runs for
// as long as the mode does. Every return leaves through the server's
// destructor, which stops it and joins its thread before the caller stops the
// controller, so no request is in progress while the core shuts down.
int run_application(ProtectionController& controller, const CommandLine& cl) {
  const bool self_test = !cl.smoke_report.empty();
  if (!self_test && updater_takes_over(controller)) return 0;

  ApiServer server(controller, quit_requested);
  if (!server.start("127.0.0.1")) {
    std::fputs("Couldn't start the local server.\n", stderr);
    return 1;
  }
  if (!cl.browser) {  // a self-test never comes with --browser
    try {
      const WindowFlags flags =
          run_desktop_window(server.address(), from_native(join_path(data_dir(), "webview")), cl.smoke_report,
                             [&controller] { return state_document(controller); });
      return self_test && !flags.passed ? 1 : 0;
    } catch (const std::exception& e) {
      const std::string line = std::string("Window unavailable (") + e.what() + "), opening in the browser instead.\n";
      std::fputs(line.c_str(), stderr);
      if (self_test) return 1;
    }
  }
  return run_browser_mode(server.address());
}

}  // namespace

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
    status = run_application(controller, cl);
  }
  controller.stop();
  return status;
}
