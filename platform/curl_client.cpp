#include "platform/curl_client.h"

#include <unistd.h>

#include <charconv>

#include "app/command_line.h"
#include "core/data_directory.h"
#include "platform/process_runner.h"

std::string find_tool(const std::string& name, const NativePath& base_dir) {
  const NativePath base = base_dir.empty() ? executable_dir() : base_dir;
  for (const NativePath& candidate : {join_path(base, name), join_path(join_path(base, "tools"), name)}) {
    FileStatus st;
    if (file_status(candidate, st, true) && st.regular && ::access(candidate.c_str(), X_OK) == 0) {
      return from_native(candidate);
    }
  }
  return "";
}

std::string find_curl() {
  std::string beside = find_tool("curl");
  if (!beside.empty()) return beside;
  for (const char* system : {"/usr/bin/curl", "/bin/curl"}) {
    FileStatus st;
    if (file_status(system, st, true) && st.regular) return system;
  }
  return "curl";
}

int parse_http_status(const std::string& text) {
  int value = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr == begin || value < 0) return 0;
  return value;
}

CurlOutcome curl_download(const CurlDownload& request) {
  CurlOutcome outcome;
  const NativePath part = request.destination + ".part";
  const NativePath parent = parent_path(request.destination);
  if (!parent.empty()) create_directories(parent);

  const std::vector<std::string> args = {
      request.curl.empty() ? find_curl() : request.curl,
      "-sS",
      "-L",
      "--fail",
      "--max-time",
      std::to_string(request.time_limit_seconds),
      "-A",
      std::string("KeltharonAntivirus/") + kProgramVersion,
      "-o",
      from_native(part),
      "-w",
      "%{http_code}",
      request.url,
  };
  std::string output;
  ProcessOptions options;
  options.output = &output;
  options.output_limit = 4096;  // curl prints three digits; nothing else is needed
  if (request.max_bytes > 0) {
    options.stop_when = [&] {
      FileStatus st;
      if (file_status(part, st, false) && static_cast<std::uint64_t>(st.size) > request.max_bytes) {
        outcome.too_large = true;
      }
      return outcome.too_large;
    };
  }
  // A backstop above curl's own limit, in case curl ignores it.
  if (request.time_limit_seconds > 0) options.time_limit_ms = std::int64_t{request.time_limit_seconds} * 1000 + 30000;
  outcome.exit_code = run_process(args, options);
  outcome.status = outcome.exit_code < 0 ? 0 : parse_http_status(output);
  if (outcome.exit_code == 0 && outcome.status >= 200 && outcome.status <= 299) {
    if (rename_replace(part, request.destination)) {
      outcome.replaced = true;
      return outcome;
    }
    outcome.status = 0;
  }
  remove_file(part);
  return outcome;
}

int curl_download(const std::string& url, const NativePath& destination, int time_limit_seconds) {
  CurlDownload request;
  request.url = url;
  request.destination = destination;
  request.time_limit_seconds = time_limit_seconds;
  return curl_download(request).status;
}
