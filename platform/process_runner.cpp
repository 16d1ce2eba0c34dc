#include "platform/process_runner.h"

std::string quote_argument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out += c;
    backslashes = 0;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
  return out;
}
