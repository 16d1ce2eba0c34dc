#include "app/web_window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

struct WebWindow::Impl {
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* content = nullptr;
  WebKitWebsiteDataManager* data = nullptr;
  WebKitWebContext* context = nullptr;
  std::map<std::string, Handler> handlers;
  bool running = false;
  bool closed = false;
};

namespace {

// The product's shield drawn into an RGBA buffer at any size: the icon is
// part of the executable, not a file beside it.
GdkPixbuf* shield_icon(int size) {
  GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  if (!pb) return nullptr;
  const int stride = gdk_pixbuf_get_rowstride(pb);
  guchar* px = gdk_pixbuf_get_pixels(pb);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double u = (x + 0.5) / size * 2.0 - 1.0;  // -1..1
      const double v = (y + 0.5) / size;              // 0..1 top to bottom
      const double half_width = v < 0.55 ? 0.85 : 0.85 * std::sqrt(std::max(0.0, 1.0 - (v - 0.55) / 0.45));
      const bool inside = v > 0.06 && v < 0.98 && std::fabs(u) < half_width;
      const bool check = inside && std::fabs(u + 0.15 - (v - 0.55) * 0.9) < 0.09 && v > 0.35 && v < 0.72;
      guchar* p = px + y * stride + x * 4;
      p[0] = check ? 255 : 24;
      p[1] = check ? 255 : 120;
      p[2] = check ? 255 : 200;
      p[3] = inside ? 255 : 0;
    }
  }
  return pb;
}

void on_destroy(GtkWidget*, gpointer data) {
  auto* impl = static_cast<WebWindow::Impl*>(data);
  impl->closed = true;
  impl->window = nullptr;
  if (impl->running) gtk_main_quit();
}

gboolean on_message(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer data) {
  auto* impl = static_cast<WebWindow::Impl*>(data);
  // Messages carry {"name": ..., "args": "<json text>"} from the bound function.
  JSCValue* name_v = jsc_value_object_get_property(value, "name");
  JSCValue* args_v = jsc_value_object_get_property(value, "args");
  char* name = jsc_value_to_string(name_v);
  char* args = jsc_value_to_string(args_v);
  std::string answer = "null";
  const auto it = impl->handlers.find(name ? name : "");
  if (it != impl->handlers.end()) answer = it->second(args ? args : "[]");
  JSCValue* result = jsc_value_new_from_json(jsc_value_get_context(value), answer.c_str());
  webkit_script_message_reply_return_value(reply, result);
  g_object_unref(result);
  g_free(name);
  g_free(args);
  g_object_unref(name_v);
  g_object_unref(args_v);
  return TRUE;
}

}  // namespace

WebWindow::WebWindow(const std::string& profile_dir, const std::string& app_id, bool debug_tools)
    : impl_(std::make_unique<Impl>()) {
  if (!g_get_prgname() || app_id != g_get_prgname()) g_set_prgname(app_id.c_str());
  identity_set_ = g_get_prgname() && app_id == g_get_prgname();
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) throw std::runtime_error("no display is available");
  if (!gtk_init_check(nullptr, nullptr) || gdk_display_get_default() == nullptr)
    throw std::runtime_error("no display is available");
  const std::string cache = profile_dir + "/cache";
  impl_->data = WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory",
                                                        profile_dir.c_str(), "base-cache-directory", cache.c_str(),
                                                        nullptr));
  impl_->context = webkit_web_context_new_with_website_data_manager(impl_->data);
  impl_->content = webkit_user_content_manager_new();
  impl_->view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", impl_->context,
                                             "user-content-manager", impl_->content, nullptr));
  if (!impl_->view) throw std::runtime_error("the web view could not be created");
  WebKitSettings* settings = webkit_web_view_get_settings(impl_->view);
  webkit_settings_set_enable_developer_extras(settings, debug_tools);
  webkit_user_content_manager_register_script_message_handler_with_reply(impl_->content, "kavBridge", nullptr);
  g_signal_connect(impl_->content, "script-message-with-reply-received::kavBridge", G_CALLBACK(on_message), impl_.get());
  impl_->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!impl_->window) throw std::runtime_error("the window could not be created");
  gtk_container_add(GTK_CONTAINER(impl_->window), GTK_WIDGET(impl_->view));
  g_signal_connect(impl_->window, "destroy", G_CALLBACK(on_destroy), impl_.get());
}

WebWindow::~WebWindow() {
  if (impl_->window) gtk_widget_destroy(impl_->window);
  if (impl_->content) g_object_unref(impl_->content);
  if (impl_->context) g_object_unref(impl_->context);
  if (impl_->data) g_object_unref(impl_->data);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool WebWindow::set_icon() {
  if (!impl_->window) return false;
  GdkPixbuf* large = shield_icon(48);
  GdkPixbuf* small = shield_icon(16);
  if (!large || !small) {
    if (large) g_object_unref(large);
    if (small) g_object_unref(small);
    return false;
  }
  GList* icons = g_list_append(g_list_append(nullptr, large), small);
  gtk_window_set_icon_list(GTK_WINDOW(impl_->window), icons);
  GList* back = gtk_window_get_icon_list(GTK_WINDOW(impl_->window));
  const bool same = g_list_length(back) == 2 && g_list_nth_data(back, 0) == large && g_list_nth_data(back, 1) == small;
  g_list_free(back);
  g_list_free(icons);
  g_object_unref(large);
  g_object_unref(small);
  return same;
}

void WebWindow::set_title(const std::string& title) {
  if (impl_->window) gtk_window_set_title(GTK_WINDOW(impl_->window), title.c_str());
}

void WebWindow::set_size(int width, int height, SizeHint hint) {
  if (!impl_->window) return;
  GtkWindow* w = GTK_WINDOW(impl_->window);
  GdkGeometry g{};
  switch (hint) {
    case SizeHint::None:
      gtk_window_set_resizable(w, TRUE);
      gtk_window_set_default_size(w, width, height);
      gtk_window_resize(w, width, height);
      break;
    case SizeHint::Min:
      g.min_width = width;
      g.min_height = height;
      gtk_window_set_geometry_hints(w, nullptr, &g, GDK_HINT_MIN_SIZE);
      break;
    case SizeHint::Max:
      g.max_width = width;
      g.max_height = height;
      gtk_window_set_geometry_hints(w, nullptr, &g, GDK_HINT_MAX_SIZE);
      break;
    case SizeHint::Fixed:
      gtk_window_set_resizable(w, FALSE);
      gtk_widget_set_size_request(impl_->window, width, height);
      break;
  }
}

void WebWindow::bind(const std::string& name, Handler handler) {
  impl_->handlers[name] = std::move(handler);
  // The page-side function forwards its arguments as JSON text and resolves
  // with the handler's reply.
  add_init_script("window[" + std::string("\"") + name + "\"]=(...args)=>window.webkit.messageHandlers.kavBridge"
                  ".postMessage({name:" + "\"" + name + "\"" + ",args:JSON.stringify(args)});");
}

void WebWindow::add_init_script(const std::string& script) {
  WebKitUserScript* s = webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(impl_->content, s);
  webkit_user_script_unref(s);
}

void WebWindow::navigate(const std::string& url) { webkit_web_view_load_uri(impl_->view, url.c_str()); }

void WebWindow::run() {
  if (!impl_->window || impl_->closed) return;
  gtk_widget_show_all(impl_->window);
  impl_->running = true;
  gtk_main();
  impl_->running = false;
}

void WebWindow::terminate() {
  // Posted, so a handler that terminates returns its reply first.
  g_idle_add(
      [](gpointer data) -> gboolean {
        auto* impl = static_cast<WebWindow::Impl*>(data);
        if (impl->running) gtk_main_quit();
        return G_SOURCE_REMOVE;
      },
      impl_.get());
}
