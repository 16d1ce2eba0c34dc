// Builds a signature feed ("AVSG1") from a text list.
//
//   feed-builder INPUT.txt OUTPUT.avsg [VERSION]
//
// Each non-empty input line not starting with "#" is "SHA256 NAME": 64 hex
// digits, white space, then the signature name (the rest of the line, at most
// 65535 bytes). Keys are sorted, names deduplicated; VERSION defaults to the
// current time in seconds. The output is written atomically.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "av/signature_db.h"
#include "platform/encoding.h"
#include "platform/file_system.h"
#include "platform/sha256.h"

namespace {

void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: feed-builder INPUT.txt OUTPUT.avsg [VERSION]\n", stderr);
    return 2;
  }
  std::uint64_t version = static_cast<std::uint64_t>(std::time(nullptr));
  if (argc == 4) version = std::stoull(argv[3]);
  const std::string text = read_whole_file(argv[1]);
  std::vector<std::pair<std::uint64_t, std::string>> entries;
  std::size_t pos = 0, line_no = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find_first_of(" \t");
    Bytes digest;
    if (space != 64 || !from_hex(line.substr(0, 64), digest)) {
      std::fprintf(stderr, "line %zu: expected 64 hex digits, white space and a name\n", line_no);
      return 1;
    }
    const auto name_start = line.find_first_not_of(" \t", space);
    if (name_start == std::string::npos || line.size() - name_start > 65535) {
      std::fprintf(stderr, "line %zu: missing or overlong signature name\n", line_no);
      return 1;
    }
    Digest d{};
    std::copy(digest.begin(), digest.end(), d.begin());
    entries.emplace_back(av::SignatureDB::key_of(d), line.substr(name_start));
  }
  // Stable sort keeps the input order among equal keys: the first listed name wins a lookup.
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::map<std::string, std::uint32_t> name_ids;
  std::vector<std::string> names;
  for (const auto& e : entries) {
    if (name_ids.emplace(e.second, static_cast<std::uint32_t>(names.size())).second) names.push_back(e.second);
  }
  std::string out("AVSG1\0\0\0", 8);
  put_le(out, version, 8);
  put_le(out, entries.size(), 4);
  put_le(out, names.size(), 4);
  for (const std::string& n : names) {
    put_le(out, n.size(), 2);
    out += n;
  }
  for (const auto& e : entries) {
    put_le(out, e.first, 8);
    put_le(out, name_ids[e.second], 4);
  }
  av::SignatureDB check;
  std::string error;
  if (!check.load_bytes(as_bytes(out), &error)) {
    std::fprintf(stderr, "the feed would not load: %s\n", error.c_str());
    return 1;
  }
  if (!write_file_atomic(argv[2], out)) {
    std::fprintf(stderr, "couldn't write %s\n", argv[2]);
    return 1;
  }
  std::printf("%zu signature(s), %zu name(s), version %llu\n", entries.size(), names.size(),
              static_cast<unsigned long long>(version));
  return 0;
}
