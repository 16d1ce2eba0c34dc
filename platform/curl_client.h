// HTTPS downloads through the curl command-line tool. The body goes straight
// to "<destination>.part" and replaces the destination only after curl ended
// successfully with a 2xx status, so a failed or partial transfer never
// touches the destination and never leaves the ".part" file behind.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"

// `name` installed next to the running executable (or next to `base_dir` when
// given), then in its "tools" subfolder: the first that is an executable
// regular file (links followed), or "".
std::string find_tool(const std::string& name, const NativePath& base_dir = {});

// The curl to run: find_tool("curl"), then the system folders' curl
// (/usr/bin, /bin), then the bare name "curl" for the search path.
std::string find_curl();

// Downloads `url` to `destination` with curl's own time limit of
// `time_limit_seconds`. Returns the final HTTP status curl reported (0 when
// there was no response or curl could not run). A 2xx status means the
// destination was replaced, except when curl failed after a 2xx response
// (for example the time limit cut the body short): then the 2xx status comes
// back and the destination is untouched.
int curl_download(const std::string& url, const NativePath& destination, int time_limit_seconds);

struct CurlDownload {
  std::string curl;               // the program; empty means find_curl()
  std::string url;
  NativePath destination;
  int time_limit_seconds = 600;   // curl's --max-time
  // A body that grows beyond this many bytes is stopped at once (the run is
  // killed); 0 = no limit.
  std::uint64_t max_bytes = 0;
};

struct CurlOutcome {
  int status = 0;           // as curl_download returns it
  int exit_code = -1;       // curl's exit code, or a run_process negative result
  bool too_large = false;   // stopped because the body exceeded max_bytes
  bool replaced = false;    // the destination now holds the downloaded body
};

// The download above with every input explicit. The command line is always
// exactly: curl -sS -L --fail --max-time N -A "KeltharonAntivirus/<version>"
// -o <destination>.part -w "%{http_code}" URL.
CurlOutcome curl_download(const CurlDownload& request);

// Reads curl's "%{http_code}" output: its leading decimal digits, 0 when there
// are none or they are out of range.
int parse_http_status(const std::string& text);
