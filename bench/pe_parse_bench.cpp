// Parse time of ember::PE per file over a corpus, and throughput on one large
// synthetic image (a real executable padded with 50 MiB of resource-like data
// inside its last section).
//   pe_parse_bench [--warnings] [FILE...]
// Without files it reads the PE fixtures of the build tree and the Windows
// DLLs of installed packages.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ember/pe.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> default_corpus(const char* argv0) {
  std::vector<std::string> out;
  const fs::path fixtures = fs::path(argv0).parent_path().parent_path() / "pe_fixtures";
  std::error_code ec;
  for (const fs::path& dir : {fixtures, fs::path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"),
                              fs::path("/usr/lib/i386-linux-gnu/wine/i386-windows"), fs::path("/usr/lib/mono/4.5")}) {
    if (!fs::is_directory(dir, ec)) continue;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".dll" || ext == ".exe")) out.push_back(e.path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `rounds` parses; returns seconds and whether it parsed.
double time_parse(const std::string& bytes, int rounds, bool& ok, std::size_t& warnings) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    try {
      ember::PE pe(as_bytes(bytes));
      ok = true;
      warnings = pe.warnings().size();
    } catch (const std::exception&) {
      ok = false;
    }
    best = std::min(best, seconds_since(t0));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  bool show_warnings = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--warnings") == 0) show_warnings = true;
    else files.push_back(argv[i]);
  }
  if (files.empty()) files = default_corpus(argv[0]);

  double total_seconds = 0;
  std::size_t total_bytes = 0, parsed = 0;
  std::string largest;
  for (const auto& path : files) {
    const std::string bytes = read_file(path);
    bool ok = false;
    std::size_t warnings = 0;
    const double s = time_parse(bytes, 5, ok, warnings);
    total_seconds += s;
    total_bytes += bytes.size();
    parsed += ok;
    if (bytes.size() > largest.size() && ok) largest = bytes;
    std::printf("%10.1f us  %9zu bytes  %s  %zu warnings  %s\n", s * 1e6, bytes.size(), ok ? "PE   " : "notPE", warnings,
                path.c_str());
    if (show_warnings && ok) {
      ember::PE pe(as_bytes(bytes));
      for (const auto& w : pe.warnings()) std::printf("      %s\n", w.c_str());
    }
  }
  if (!files.empty())
    std::printf("corpus: %zu files (%zu parsed), %.1f MiB, mean %.1f us per file, %.1f MB/s\n", files.size(), parsed,
                total_bytes / 1048576.0, total_seconds / files.size() * 1e6, total_bytes / 1e6 / total_seconds);

  if (largest.empty()) return 0;
  // A 50 MiB image: the largest corpus image with its last section's raw data
  // grown to hold 50 MiB of filler. Every header stays as the linker wrote it.
  std::string big = largest;
  big.resize(50u << 20, '\x5a');
  for (std::size_t i = largest.size(); i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  {
    ember::PE probe(as_bytes(largest));
    const auto& secs = probe.sections();
    if (!secs.empty()) {
      const auto* last = &secs.front();
      for (const auto& s : secs)
        if (s.PointerToRawData > last->PointerToRawData) last = &s;
      const std::uint32_t raw_size = static_cast<std::uint32_t>(big.size() - last->PointerToRawData);
      const std::size_t at = static_cast<std::size_t>(last->file_offset);
      std::memcpy(&big[at + 16], &raw_size, 4);  // SizeOfRawData
      std::memcpy(&big[at + 8], &raw_size, 4);   // VirtualSize
    }
  }
  bool ok = false;
  std::size_t warnings = 0;
  const double s = time_parse(big, 5, ok, warnings);
  std::printf("50 MiB image: %s, %.2f ms per parse, %.0f MB/s (%zu warnings)\n", ok ? "parsed" : "not a PE", s * 1e3,
              big.size() / 1e6 / s, warnings);
  return 0;
}
