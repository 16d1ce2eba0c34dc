// The application's desktop window and its self-test. The window shows the
// page at `address` and returns when it is closed. With a report path, a
// script in the page waits until it shows the program version, a ready AI
// engine, models and signatures (checking every 500 ms, at most 180 times),
// then the program writes the self-test report and closes the window.
#pragma once

#include <functional>
#include <string>

#include "platform/json_text.h"

extern const char* const kApplicationIdentity;  // the process's reverse-domain application id

struct WindowFlags {
  bool identity = false;
  bool icon = false;
  bool passed = false;  // the self-test passed and its report was written
};

// The self-test report for the page's callback arguments `args_json`, the
// state document `state`, and the window's identity and icon flags.
Json smoke_report(const std::string& args_json, const Json& state, bool identity, bool icon);

// Throws std::runtime_error when no window can be created.
WindowFlags run_desktop_window(const std::string& address, const std::string& profile_dir,
                               const std::string& smoke_report_path, const std::function<Json()>& state_document);
