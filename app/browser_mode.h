// The application opened in the user's web browser: the running line is
// printed, the address handed to the desktop's opener, and the process waits
// until quit_requested (Ctrl+C, SIGTERM or the API's quit route).
#pragma once

#include <string>

// Returns the exit status, 0. The caller stops the server, then the controller.
int run_browser_mode(const std::string& address);
