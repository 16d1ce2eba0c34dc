#include "app/browser_mode.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/service_mode.h"
#include "platform/shell.h"

int run_browser_mode(const std::string& address) {
  // Before the line: whoever reacts to the line with a signal must find the handler in place.
  install_quit_handler();
  const std::string line = "Keltharon Antivirus is running at " + address + "\nPress Ctrl+C to quit.\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  open_with_shell(address);
  while (!quit_requested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
}
