#include "support/x_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <chrono>
#include <thread>
#include <vector>

namespace test {

namespace {

Display* dpy(void* p) { return static_cast<Display*>(p); }

std::string window_title(Display* d, Window w) {
  const Atom net_name = XInternAtom(d, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, net_name, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    if (!title.empty()) return title;
  }
  char* name = nullptr;
  if (XFetchName(d, w, &name) && name != nullptr) {
    title = name;
    XFree(name);
  }
  return title;
}

Window search(Display* d, Window w, const std::string& title, int depth) {
  XWindowAttributes attrs;
  if (XGetWindowAttributes(d, w, &attrs) && attrs.map_state == IsViewable && window_title(d, w) == title) return w;
  if (depth == 0) return 0;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n && found == 0; ++i) found = search(d, children[i], title, depth - 1);
    if (children) XFree(children);
  }
  return found;
}

int ignore_errors(Display*, XErrorEvent*) { return 0; }

}  // namespace

XDisplay::XDisplay(const std::string& display) {
  display_ = XOpenDisplay(display.c_str());
  if (display_) XSetErrorHandler(ignore_errors);  // windows may vanish while they are examined
}

XDisplay::~XDisplay() {
  if (display_) XCloseDisplay(dpy(display_));
}

unsigned long XDisplay::find_window(const std::string& title, int timeout_ms) {
  if (!display_) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const Window w = search(dpy(display_), DefaultRootWindow(dpy(display_)), title, 3);
    if (w != 0 || std::chrono::steady_clock::now() >= deadline) return w;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool XDisplay::window_size(unsigned long window, int& width, int& height) {
  XWindowAttributes attrs;
  if (!display_ || !XGetWindowAttributes(dpy(display_), window, &attrs)) return false;
  width = attrs.width;
  height = attrs.height;
  return true;
}

bool XDisplay::request_close(unsigned long window) {
  if (!display_) return false;
  Display* d = dpy(display_);
  const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  const Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  Atom* list = nullptr;
  int n = 0;
  bool supported = false;
  if (XGetWMProtocols(d, window, &list, &n)) {
    for (int i = 0; i < n; ++i) supported = supported || list[i] == del;
    XFree(list);
  }
  if (!supported) return false;
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = window;
  ev.xclient.message_type = protocols;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(del);
  ev.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(d, window, False, NoEventMask, &ev) != 0;
  XFlush(d);
  return sent;
}

bool XDisplay::save_screenshot(const std::string& png_path, unsigned long window) {
  if (!display_) return false;
  Display* d = dpy(display_);
  const Window source = window != 0 ? window : DefaultRootWindow(d);
  XWindowAttributes attrs;
  if (!XGetWindowAttributes(d, source, &attrs)) return false;
  XImage* image = XGetImage(d, source, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap);
  if (!image) return false;
  const int w = attrs.width, h = attrs.height;
  std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const unsigned long p = XGetPixel(image, x, y);
      unsigned char* out = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
      out[0] = static_cast<unsigned char>((p & image->red_mask) >> 16);
      out[1] = static_cast<unsigned char>((p & image->green_mask) >> 8);
      out[2] = static_cast<unsigned char>(p & image->blue_mask);
    }
  XDestroyImage(image);
  GdkPixbuf* pixbuf =
      gdk_pixbuf_new_from_data(rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, w, h, w * 3, nullptr, nullptr);
  const bool ok = pixbuf && gdk_pixbuf_save(pixbuf, png_path.c_str(), "png", nullptr, nullptr);
  if (pixbuf) g_object_unref(pixbuf);
  return ok;
}

}  // namespace test
