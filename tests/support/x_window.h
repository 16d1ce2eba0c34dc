// A minimal X client for window tests: finds a top-level window by its title
// on a given display, asks it to close the way a window manager does when the
// user clicks its close button (WM_DELETE_WINDOW), and saves PNG images of a
// window or of the whole screen.
#pragma once

#include <string>

namespace test {

class XDisplay {
 public:
  explicit XDisplay(const std::string& display);
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;
  bool connected() const { return display_ != nullptr; }
  // A mapped window whose title is exactly `title`, or 0; waits at most `timeout_ms`.
  unsigned long find_window(const std::string& title, int timeout_ms);
  // The window's size in pixels; false when it is gone.
  bool window_size(unsigned long window, int& width, int& height);
  // Sends the close request; false when the window does not take part in the protocol.
  bool request_close(unsigned long window);
  // The window's contents, or the whole screen when `window` is 0.
  bool save_screenshot(const std::string& png_path, unsigned long window = 0);

 private:
  void* display_ = nullptr;
};

}  // namespace test
