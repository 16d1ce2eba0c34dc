#include <gtest/gtest.h>

#include <cstdlib>

#include "app/desktop_window.h"
#include "support/test_support.h"
#include "support/xvfb.h"

namespace {

const Json kReadyState = {{"protection", {{"ai_ready", true}, {"models", {"general", "win64"}}}},
                          {"updates", {{"signatures_count", 4}}}};

TEST(SmokeReport, VerdictNeedsEveryCondition) {
  struct Case {
    const char* what;
    std::string args;
    Json state;
    bool identity, icon, passed, rendered;
  } cases[] = {
      {"all good", R"([{"rendered":true}])", kReadyState, true, true, true, true},
      {"page not rendered", R"([{"rendered":false}])", kReadyState, true, true, false, false},
      {"two arguments", R"([{"rendered":true},1])", kReadyState, true, true, false, false},
      {"malformed text", "[{", kReadyState, true, true, false, false},
      {"no identity", R"([{"rendered":true}])", kReadyState, false, true, false, true},
      {"no icon", R"([{"rendered":true}])", kReadyState, true, false, false, true},
      {"no signatures", R"([{"rendered":true}])",
       Json{{"protection", {{"ai_ready", true}, {"models", {"m"}}}}, {"updates", {{"signatures_count", 0}}}}, true,
       true, false, true},
      {"empty state", R"([{"rendered":true}])", Json::object(), true, true, false, true},
  };
  for (const auto& c : cases) {
    const Json r = smoke_report(c.args, c.state, c.identity, c.icon);
    EXPECT_EQ(r.size(), 9u) << c.what;
    EXPECT_EQ(r["passed"], c.passed) << c.what;
    EXPECT_EQ(r["rendered_api_state"], c.rendered) << c.what;
    EXPECT_EQ(r["schema"], "keltharon-antivirus-gui/2");
    EXPECT_EQ(r["version"], "1.0.14");
    EXPECT_EQ(r["native_webview"], true);
  }
  const Json r = smoke_report(R"([{"rendered":true}])", kReadyState, true, true);
  EXPECT_EQ(r["ai_models"], 2);
  EXPECT_EQ(r["signatures"], 4);
}

TEST(DesktopWindow, SelfTestReadsTheRenderedPageInARealWindow) {
#ifdef KAV_SANITIZED
  GTEST_SKIP() << "real windows are tested in the optimised build";
#endif
  test::Xvfb x;
  if (!x.available()) GTEST_SKIP() << "Xvfb is not installed";
  setenv("DISPLAY", x.display().c_str(), 1);
  test::TempDir dir;
  const std::string page = dir.write("page.html",
                                     "<!doctype html><html><body><span id=ver>1.0.14</span><span id=aiState>ready"
                                     "</span><span id=modelCount>2 models</span><span id=sigCount>4 signatures</span>"
                                     "</body></html>");
  const std::string report = dir.file("out/report.json");
  const WindowFlags flags =
      run_desktop_window("file://" + page, dir.file("profile"), report, [] { return kReadyState; });
  EXPECT_TRUE(flags.identity);
  EXPECT_TRUE(flags.icon);
  EXPECT_TRUE(flags.passed);
  const auto written = parse_json(read_whole_file(report));
  ASSERT_TRUE(written.has_value()) << read_whole_file(report);
  EXPECT_EQ((*written)["rendered_api_state"], true);
  EXPECT_EQ((*written)["passed"], true);
  EXPECT_EQ(read_whole_file(report).back(), '}');  // no trailing newline
  EXPECT_NE(read_whole_file(report).find("\n  \"ai_models\": 2,"), std::string::npos);
}

TEST(DesktopWindow, NoDisplayMeansNoWindow) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  test::TempDir dir;
  EXPECT_THROW(run_desktop_window("about:blank", dir.file("profile"), "", [] { return Json::object(); }),
               std::runtime_error);
}

}  // namespace
