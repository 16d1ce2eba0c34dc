#include "tools/trainer/feature_set.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file_system.h"

namespace trainer {
namespace {

constexpr char kMagic[8] = {'K', 'A', 'V', 'F', 'E', 'A', 'T', '1'};

template <typename T>
void put(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.append(b, sizeof(T));
}

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}
  template <typename T>
  bool get(T& v) {
    if (s_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(&v, s_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool get_bytes(std::size_t n, void* dst) {
    if (s_.size() - pos_ < n) return false;
    std::memcpy(dst, s_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  const std::string& s_;
  std::size_t pos_ = 0;
};

}  // namespace

bool read_list_file(const std::string& list, std::vector<std::pair<int, std::string>>& out, std::string* error) {
  std::ifstream in(list);
  if (!in) {
    if (error) *error = "cannot open " + list;
    return false;
  }
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.size() < 3 || (line[0] != '0' && line[0] != '1') || line[1] != ' ') {
      if (error) *error = list + ":" + std::to_string(n) + ": expected \"<0|1> <path>\"";
      return false;
    }
    out.emplace_back(line[0] - '0', line.substr(2));
  }
  return true;
}

void list_labelled_tree(const std::string& root, std::vector<std::pair<int, std::string>>& out) {
  for (int label : {0, 1}) {
    FolderWalk walk;
    walk.on_file = [&](const NativePath& f) { out.emplace_back(label, from_native(f)); };
    walk_folder(to_native(join_path(root, label ? "malicious" : "benign")), walk);
  }
}

std::vector<Sample> extract_samples(const std::vector<std::pair<int, std::string>>& files, std::int64_t max_size,
                                    std::size_t* skipped) {
  std::vector<Sample> out;
  std::size_t skip = 0;
  for (const auto& [label, path] : files) {
    FileStatus st;
    if (!file_status(to_native(path), st) || !st.regular || st.size < 4 || st.size > max_size) {
      ++skip;
      continue;
    }
    std::string bytes = read_whole_file(to_native(path));
    if (bytes.size() < 4) {
      ++skip;
      continue;
    }
    Sample s;
    s.path = path;
    s.label = label;
    ember::FeatureInfo info;
    s.features = ember::extract_features(as_bytes(bytes), &info);
    s.kind = info.kind;
    if (s.features.size() != ember::kFeatureCount) {
      ++skip;
      continue;
    }
    out.push_back(std::move(s));
  }
  if (skipped) *skipped = skip;
  return out;
}

bool save_samples(const std::string& path, const std::vector<Sample>& samples, std::string* error) {
  std::string out(kMagic, sizeof kMagic);
  put<std::uint32_t>(out, static_cast<std::uint32_t>(ember::kFeatureCount));
  put<std::uint64_t>(out, samples.size());
  for (const Sample& s : samples) {
    put<std::uint8_t>(out, static_cast<std::uint8_t>(s.label));
    put<std::uint8_t>(out, static_cast<std::uint8_t>(s.kind));
    put<std::uint32_t>(out, static_cast<std::uint32_t>(s.path.size()));
    out += s.path;
    out.append(reinterpret_cast<const char*>(s.features.data()), s.features.size() * sizeof(float));
  }
  if (!write_file_atomic(to_native(path), std::string_view(out))) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool load_samples(const std::string& path, std::vector<Sample>& out, std::string* error) {
  std::string data = read_whole_file(to_native(path));
  auto bad = [&] {
    if (error) *error = "not a feature file: " + path;
    return false;
  };
  if (data.size() < sizeof kMagic || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) return bad();
  Reader r(data);
  char magic[8];
  std::uint32_t cols = 0;
  std::uint64_t count = 0;
  if (!r.get_bytes(8, magic) || !r.get(cols) || !r.get(count) || cols != ember::kFeatureCount) return bad();
  for (std::uint64_t i = 0; i < count; ++i) {
    Sample s;
    std::uint8_t label = 0, kind = 0;
    std::uint32_t len = 0;
    if (!r.get(label) || !r.get(kind) || !r.get(len) || len > data.size()) return bad();
    s.path.resize(len);
    s.features.resize(cols);
    if (!r.get_bytes(len, s.path.data()) || !r.get_bytes(cols * sizeof(float), s.features.data())) return bad();
    s.label = label;
    s.kind = static_cast<ember::FileKind>(kind);
    out.push_back(std::move(s));
  }
  return true;
}

bool kind_matches(const std::string& model_kind, ember::FileKind kind) {
  int k = static_cast<int>(kind);
  if (model_kind == "all") return k >= 1 && k <= 6;
  if (model_kind == "PE") return k >= 1 && k <= 3;
  return k >= 1 && k <= 6 && model_kind == ember::file_kind_name(kind);
}

}  // namespace trainer
