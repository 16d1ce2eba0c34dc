// The headless real-time protection service and the process-wide quit flag.
#pragma once

#include <atomic>

class ProtectionController;

// Set once by SIGINT/SIGTERM (or the API's quit route); never cleared.
extern std::atomic<bool> quit_requested;

// Installs the SIGINT/SIGTERM handler, which only sets quit_requested.
void install_quit_handler();

// Prints the service line (and, when protection is less than asked for, the
// watcher's notice), then waits until quit_requested, testing it twice a
// second. Returns the exit status, 0. The caller stops the controller.
int run_service(ProtectionController& controller);
