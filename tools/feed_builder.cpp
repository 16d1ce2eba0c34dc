// Builds a signature feed ("AVSG1") from a text list.
//
//   feed-builder INPUT.txt OUTPUT.avsg [VERSION]
//
// Each non-empty input line not starting with "#" is "SHA256 NAME": 64 hex
// digits, white space, then the signature name (the rest of the line, at most
// 65535 bytes). Keys are sorted, names deduplicated; VERSION defaults to the
// current time in seconds. The output is validated, then written atomically.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "av/signature_db.h"
#include "platform/encoding.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: feed-builder INPUT.txt OUTPUT.avsg [VERSION]\n", stderr);
    return 2;
  }
  std::uint64_t version = static_cast<std::uint64_t>(std::time(nullptr));
  if (argc == 4) {
    char* end = nullptr;
    version = std::strtoull(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0') {
      std::fputs("VERSION must be a whole number\n", stderr);
      return 2;
    }
  }
  const std::string text = read_whole_file(argv[1]);
  std::vector<av::FeedEntry> entries;
  std::size_t pos = 0, line_no = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Bytes digest;
    const auto name_start = line.find_first_not_of(" \t", 64);
    if (line.size() < 66 || (line[64] != ' ' && line[64] != '\t') || !from_hex(line.substr(0, 64), digest) ||
        name_start == std::string::npos) {
      std::fprintf(stderr, "line %zu: expected 64 hex digits, white space and a name\n", line_no);
      return 1;
    }
    if (line.size() - name_start > 65535) {
      std::fprintf(stderr, "line %zu: signature name longer than 65535 bytes\n", line_no);
      return 1;
    }
    av::FeedEntry e;
    std::copy(digest.begin(), digest.end(), e.digest.begin());
    e.name = line.substr(name_start);
    entries.push_back(std::move(e));
  }
  const std::size_t count = entries.size();
  const std::string feed = av::encode_signature_feed(version, std::move(entries));
  av::SignatureDB check;
  std::string error;
  if (!check.load_bytes(as_bytes(feed), &error)) {
    std::fprintf(stderr, "the feed would not load: %s\n", error.c_str());
    return 1;
  }
  if (!write_file_atomic(argv[2], feed)) {
    std::fprintf(stderr, "couldn't write %s\n", argv[2]);
    return 1;
  }
  std::printf("%zu signature(s), version %llu\n", count, static_cast<unsigned long long>(version));
  return 0;
}
