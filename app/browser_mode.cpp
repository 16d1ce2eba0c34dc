#include "app/browser_mode.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/service_mode.h"
#include "platform/shell.h"

int run_browser_mode(const std::string& address) {
  // The handler is in place before the address is shown, so a Ctrl+C that
  // follows the line at once still ends the run through the orderly shutdown.
  install_quit_handler();
  const std::string line = "Keltharon Antivirus is running at " + address + "\nPress Ctrl+C to quit.\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  open_with_shell(address);
  while (!quit_requested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
}
