#include "app/service_mode.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "core/protection_controller.h"

std::atomic<bool> quit_requested{false};

namespace {

void on_quit_signal(int) { quit_requested.exchange(true); }

void print_lines(const std::string& text) {
  if (text.empty()) return;
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void install_quit_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_quit_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int run_service(ProtectionController& controller) {
  // Before the line: whoever reacts to the line with a signal must find the handler in place.
  install_quit_handler();
  const Json state = controller.protection_state();
  const auto mode = state.find("mode");
  std::string line = "Keltharon Antivirus protection service running (";
  line += mode != state.end() && mode->is_string() ? mode->get<std::string>() : std::string();
  if (!controller.owner()) line += ", waiting for the app to hand over";
  line += ").\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);

  // What the watcher could not do (no blocking, the watch limit ran out) is
  // said once when it is first known.
  std::string shown = controller.watcher()->notice();
  print_lines(shown);

  while (!quit_requested.load()) {
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    for (const std::string& notice : controller.take_notices()) print_lines(notice);
    const std::string now = controller.watcher()->notice();
    if (now != shown) {
      if (now.compare(0, shown.size(), shown) == 0) {
        print_lines(now.substr(shown.empty() ? 0 : shown.size() + 1));
      } else {
        print_lines(now);
      }
      shown = now;
    }
  }
  return 0;
}
