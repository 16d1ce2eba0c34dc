#include "av/script_review.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace av {
namespace {

constexpr std::size_t kInputLimit = 1048576;
constexpr std::size_t kWindow = 4096;
constexpr std::size_t kStride = 2048;
constexpr std::size_t kShebangEnd = 256;

const char* const kPowerShell = "PowerShell";
const char* const kCommandScript = "CommandScript";
const char* const kWindowsScript = "WindowsScript";
const char* const kShell = "Shell";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool is_word_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

// `token` at a position whose outer neighbours (inside `text`) are not word
// characters; the edges of `text` count as boundaries.
bool has_word(std::string_view text, std::string_view token) {
  for (std::size_t pos = text.find(token); pos != std::string_view::npos; pos = text.find(token, pos + 1)) {
    const std::size_t end = pos + token.size();
    if ((pos == 0 || !is_word_char(text[pos - 1])) && (end == text.size() || !is_word_char(text[end]))) return true;
  }
  return false;
}

bool has_substring(std::string_view text, std::string_view token) { return text.find(token) != std::string_view::npos; }

// "." + token, followed by a non-word character or the end of `text`.
bool has_method_call(std::string_view text, std::string_view token) {
  for (std::size_t pos = text.find('.'); pos != std::string_view::npos; pos = text.find('.', pos + 1)) {
    if (text.substr(pos + 1, token.size()) != token) continue;
    const std::size_t end = pos + 1 + token.size();
    if (end == text.size() || !is_word_char(text[end])) return true;
  }
  return false;
}

bool any_word(std::string_view text, std::initializer_list<std::string_view> tokens) {
  return std::any_of(tokens.begin(), tokens.end(), [&](std::string_view t) { return has_word(text, t); });
}

// ---- 1. Kind ---------------------------------------------------------------

std::string kind_of(ByteSpan bytes, std::string_view name) {
  const std::string lower_name = lowered(name);
  const std::size_t cut = lower_name.find_last_of("/\\!");
  const std::string_view base =
      cut == std::string::npos ? std::string_view(lower_name) : std::string_view(lower_name).substr(cut + 1);
  const std::size_t dot = base.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : base.substr(dot);

  static const std::array<std::pair<std::string_view, const char*>, 13> kExtensions{{
      {".ps1", kPowerShell},     {".psm1", kPowerShell},    {".psd1", kPowerShell},    {".bat", kCommandScript},
      {".cmd", kCommandScript},  {".js", kWindowsScript},   {".jse", kWindowsScript},  {".vbs", kWindowsScript},
      {".vbe", kWindowsScript},  {".hta", kWindowsScript},  {".sh", kShell},           {".bash", kShell},
      {".zsh", kShell},
  }};
  if (!ext.empty()) {
    for (const auto& [e, kind] : kExtensions)
      if (e == ext) return kind;
    return {};
  }
  if (bytes.size() >= 2 && bytes[0] == '#' && bytes[1] == '!') {
    const std::string_view all = as_chars(bytes);
    const std::size_t stop = std::min({all.find('\n'), all.size(), kShebangEnd});
    const std::string first_line = lowered(all.substr(2, stop > 2 ? stop - 2 : 0));
    if (any_word(first_line, {"sh", "bash", "zsh"})) return kShell;
  }
  return {};
}

// ---- 2. Decoding -----------------------------------------------------------

char review_char(unsigned unit, bool& incomplete) {
  if (unit == 9 || unit == 10 || unit == 13 || (unit >= 32 && unit <= 127)) return lower(static_cast<char>(unit));
  if (unit < 32) {
    incomplete = true;
    return ' ';
  }
  return '_';
}

std::string decode(ByteSpan bytes, bool& incomplete) {
  if (bytes.size() > kInputLimit) {
    incomplete = true;
    bytes = bytes.first(kInputLimit);
  }
  std::string text;
  const bool le = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  const bool be = bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
  if (le || be) {
    ByteSpan body = bytes.subspan(2);
    if (body.size() % 2 != 0) {
      incomplete = true;
      body = body.first(body.size() - 1);
    }
    text.reserve(body.size() / 2);
    for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
      const unsigned unit = le ? (body[i] | (body[i + 1] << 8)) : ((body[i] << 8) | body[i + 1]);
      text.push_back(review_char(unit, incomplete));
    }
  } else {
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes = bytes.subspan(3);
    text.reserve(bytes.size());
    for (const std::uint8_t b : bytes) text.push_back(review_char(b, incomplete));
  }
  if (text.find("#@~^") != std::string::npos) incomplete = true;
  return text;
}

// ---- 3. Comment blanking ---------------------------------------------------

enum class Syntax { PowerShell, Shell, Command, VbScript, JScript };

Syntax syntax_of(const std::string& kind, std::string_view name) {
  if (kind == kPowerShell) return Syntax::PowerShell;
  if (kind == kShell) return Syntax::Shell;
  if (kind == kCommandScript) return Syntax::Command;
  const std::string n = lowered(name);
  const auto ends_with = [&](std::string_view s) { return n.size() >= s.size() && n.compare(n.size() - s.size(), s.size(), s) == 0; };
  return ends_with(".vbs") || ends_with(".vbe") ? Syntax::VbScript : Syntax::JScript;
}

std::string blank_comments(const std::string& text, Syntax syntax) {
  const std::size_t n = text.size();
  const auto at = [&](std::size_t i, char a, char b) { return i + 1 < n && text[i] == a && text[i + 1] == b; };
  char block_open = 0, block_mark = 0, block_close_a = 0, block_close_b = 0;
  if (syntax == Syntax::PowerShell) { block_open = '<'; block_mark = '#'; block_close_a = '#'; block_close_b = '>'; }
  if (syntax == Syntax::JScript) { block_open = '/'; block_mark = '*'; block_close_a = '*'; block_close_b = '/'; }
  const char escape = syntax == Syntax::PowerShell ? '`' : syntax == Syntax::VbScript ? 0 : '\\';

  std::string out(text);
  bool in_line = false, in_block = false, line_start = true;
  char quote = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (in_line) {
      if (c == '\n') {
        in_line = false;
        line_start = true;
      } else {
        out[i] = ' ';
      }
      continue;
    }
    if (in_block) {
      if (at(i, block_close_a, block_close_b)) {
        out[i] = out[i + 1] = ' ';
        ++i;
        in_block = false;
      } else if (c != '\n') {
        out[i] = ' ';
      }
      continue;
    }
    if (quote) {
      if (escape && c == escape && i + 1 < n) {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (block_open && at(i, block_open, block_mark)) {
      out[i] = out[i + 1] = ' ';
      ++i;
      in_block = true;
      line_start = false;
      continue;
    }
    bool line_comment = false;
    switch (syntax) {
      case Syntax::PowerShell:
      case Syntax::Shell: line_comment = c == '#'; break;
      case Syntax::VbScript: line_comment = c == '\''; break;
      case Syntax::JScript: line_comment = at(i, '/', '/'); break;
      case Syntax::Command:
        line_comment = line_start && (at(i, ':', ':') ||
                                      (text.compare(i, 3, "rem") == 0 &&
                                       (i + 3 == n || text[i + 3] == ' ' || text[i + 3] == '\t')));
        break;
    }
    if (line_comment) {
      out[i] = ' ';
      in_line = true;
      line_start = false;
      continue;
    }
    const bool opens_string = c == '"' || (c == '\'' && syntax != Syntax::VbScript);
    if (opens_string) quote = c;
    if (c == '\n') line_start = true;
    else if (c != ' ' && c != '\t' && c != '\r') line_start = false;
  }
  return out;
}

// ---- 4. Whitespace folding -------------------------------------------------

std::string fold_whitespace(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\r') continue;
    if (c == ' ' || c == '\t') {
      if (out.empty() || out.back() != ' ') out.push_back(' ');
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// ---- 5. Rules --------------------------------------------------------------

bool rule_001(std::string_view w) {
  return any_word(w, {"downloadstring", "downloadfile", "invoke-webrequest", "invoke-restmethod"}) &&
         any_word(w, {"invoke-expression", "iex", "scriptblock::create"});
}

bool rule_002(std::string_view w) {
  return any_word(w, {"-encodedcommand", "-enc"}) &&
         any_word(w, {"-windowstyle hidden", "-windowstyle \"hidden\"", "-w hidden"});
}

bool rule_003(std::string_view w) {
  return any_word(w, {"activexobject", "createobject"}) && any_word(w, {"wscript.shell", "shell.application"}) &&
         (has_substring(w, "xmlhttp") || has_substring(w, "winhttprequest")) &&
         (has_method_call(w, "run") || has_method_call(w, "shellexecute"));
}

bool rule_004(std::string_view w) {
  for (std::size_t start = 0; start <= w.size();) {
    const std::size_t lf = w.find('\n', start);
    const std::string_view line = w.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    if (any_word(line, {"curl", "wget"}) &&
        any_word(line, {"| sh", "| bash", "| /bin/sh", "| /bin/bash", "|sh", "|bash"})) {
      return true;
    }
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return false;
}

struct Rule {
  const char* id;
  const char* description;
  bool (*matches)(std::string_view window);
  bool applies_to_powershell_and_command;
  const char* only_kind;  // when not the PowerShell/CommandScript pair
};

const Rule kRules[] = {
    {"KEL-SCRIPT-001", "Remote retrieval combined with dynamic PowerShell evaluation", rule_001, true, nullptr},
    {"KEL-SCRIPT-002", "Encoded command combined with hidden-window execution", rule_002, true, nullptr},
    {"KEL-SCRIPT-003", "Windows scripting combines network retrieval and shell execution", rule_003, false,
     kWindowsScript},
    {"KEL-SCRIPT-004", "Network response is piped to a shell interpreter", rule_004, false, kShell},
};

bool rule_applies(const Rule& rule, const std::string& kind) {
  if (rule.applies_to_powershell_and_command) return kind == kPowerShell || kind == kCommandScript;
  return kind == rule.only_kind;
}

}  // namespace

ScriptReview review_script(ByteSpan bytes, std::string_view name) {
  ScriptReview review;
  review.kind = kind_of(bytes, name);
  if (review.kind.empty()) return review;
  review.is_script = true;

  const std::string text = fold_whitespace(blank_comments(decode(bytes, review.incomplete), syntax_of(review.kind, name)));

  constexpr std::size_t kRuleCount = sizeof kRules / sizeof kRules[0];
  bool flagged[kRuleCount] = {};
  std::size_t pending = 0;
  for (std::size_t r = 0; r < kRuleCount; ++r) {
    // A rule that cannot apply counts as settled so the window loop can stop early.
    flagged[r] = !rule_applies(kRules[r], review.kind);
    if (!flagged[r]) ++pending;
  }
  const std::string_view all(text);
  for (std::size_t start = 0; start < all.size() && pending > 0; start += kStride) {
    const std::string_view window = all.substr(start, kWindow);
    for (std::size_t r = 0; r < kRuleCount; ++r) {
      if (!flagged[r] && kRules[r].matches(window)) {
        flagged[r] = true;
        --pending;
      }
    }
  }
  for (const Rule& rule : kRules)
    if (rule_applies(rule, review.kind) && flagged[&rule - kRules]) review.findings.push_back({rule.id, rule.description});
  return review;
}

}  // namespace av
