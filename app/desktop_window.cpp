#include "app/desktop_window.h"

#include "app/command_line.h"
#include "app/web_window.h"
#include "platform/file_system.h"

const char* const kApplicationIdentity = "io.keltharon.Antivirus";

namespace {

Json object_or_empty(const Json& doc, const char* key) {
  if (doc.is_object()) {
    const auto it = doc.find(key);
    if (it != doc.end() && it->is_object()) return *it;
  }
  return Json::object();
}

std::string poll_script() {
  return std::string(
             "document.addEventListener('DOMContentLoaded',()=>{let tries=0;const poll=setInterval(()=>{const "
             "text=id=>document.getElementById(id)?.textContent||'';const "
             "count=id=>Number(text(id).replace(/[^0-9]/g,''));const rendered=text('ver')===") +
         Json(kProgramVersion).dump() +
         "&&text('aiState')==='ready'&&count('modelCount')>0&&count('sigCount')>0;if(rendered||++tries>=180){"
         "clearInterval(poll);keltharonInstallerSmoke({rendered});}},500);});";
}

}  // namespace

Json smoke_report(const std::string& args_json, const Json& state, bool identity, bool icon) {
  const std::optional<Json> args = parse_json(args_json);
  const bool rendered = args && args->is_array() && args->size() == 1 && (*args)[0].is_object() &&
                        (*args)[0].contains("rendered") && (*args)[0]["rendered"] == true;
  const Json protection = object_or_empty(state, "protection");
  const Json updates = object_or_empty(state, "updates");
  const auto models = protection.find("models");
  const std::size_t model_count = models != protection.end() && models->is_array() ? models->size() : 0;
  std::int64_t signatures = 0;
  if (const auto it = updates.find("signatures_count"); it != updates.end() && it->is_number_integer())
    signatures = it->get<std::int64_t>();
  const bool ai_ready = protection.contains("ai_ready") && protection["ai_ready"] == true;
  const bool passed = rendered && identity && icon && ai_ready && model_count > 0 && signatures > 0;
  return Json{{"ai_models", model_count},   {"application_identity", identity},
              {"native_webview", true},     {"passed", passed},
              {"rendered_api_state", rendered}, {"schema", "keltharon-antivirus-gui/2"},
              {"signatures", signatures},   {"version", kProgramVersion},
              {"window_icon", icon}};
}

WindowFlags run_desktop_window(const std::string& address, const std::string& profile_dir,
                               const std::string& smoke_report_path, const std::function<Json()>& state_document) {
  WindowFlags flags;
  create_directories(profile_dir);
  WebWindow window(profile_dir, kApplicationIdentity);
  flags.identity = window.identity_set();
  flags.icon = window.set_icon();
  window.set_title(kProductName);
  window.set_size(1180, 780, WebWindow::SizeHint::None);
  window.set_size(900, 600, WebWindow::SizeHint::Min);
  if (!smoke_report_path.empty()) {
    window.bind("keltharonInstallerSmoke", [&](const std::string& args) {
      const Json report = smoke_report(args, state_document(), flags.identity, flags.icon);
      // A report that cannot be written fails the self-test.
      const bool written = write_file_atomic(to_native(smoke_report_path), dump_json(report, 2));
      flags.passed = report["passed"] == true && written;
      window.terminate();
      return std::string("true");
    });
    window.add_init_script(poll_script());
  }
  window.navigate(address);
  window.run();
  return flags;
}
