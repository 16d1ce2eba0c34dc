// A native top-level window whose whole client area is a web view: title and
// size hints, an icon, page-side functions bound to native handlers, scripts
// run in every page, navigation, and the event loop. All calls, handlers
// included, happen on the thread that created the window. Construction throws
// std::runtime_error when no window can be created (for example, no display).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/bytes.h"

class WebWindow {
 public:
  enum class SizeHint { None, Min, Max, Fixed };
  // A handler receives the JSON text of the page's argument array and returns
  // the JSON text the page's promise resolves with.
  using Handler = std::function<std::string(const std::string& args_json)>;

  // `profile_dir` holds the web view's own storage and cache; `app_id` is the
  // process's application identity, set before the first window exists.
  WebWindow(const std::string& profile_dir, const std::string& app_id, bool debug_tools = false);
  ~WebWindow();
  WebWindow(const WebWindow&) = delete;
  WebWindow& operator=(const WebWindow&) = delete;

  bool identity_set() const { return identity_set_; }
  // Sets the window icon from RGBA pixels at a large and a small size; true
  // when reading the icons back gives exactly what was set.
  bool set_icon();
  void set_title(const std::string& title);
  void set_size(int width, int height, SizeHint hint);
  // Makes window.NAME(...) in every page call `handler`.
  void bind(const std::string& name, Handler handler);
  // Runs `script` at the start of every page the view loads.
  void add_init_script(const std::string& script);
  void navigate(const std::string& url);
  // Runs the event loop until the window is closed or terminate() is called.
  void run();
  // Asks the loop to end; safe from inside a handler.
  void terminate();

  struct Impl;  // the toolkit's objects; public only so its callbacks can reach it

 private:
  std::unique_ptr<Impl> impl_;
  bool identity_set_ = false;
};
