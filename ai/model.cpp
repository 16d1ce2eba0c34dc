#include "ai/model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

namespace ai {
namespace {

// ---- whole-file read -------------------------------------------------------

bool read_file(const NativePath& path, Bytes& out) {
  // O_NONBLOCK: a FIFO put where a model is expected must not block the load.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out.clear();
  std::uint8_t buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  ::close(fd);
  return true;
}

// ---- binary format ---------------------------------------------------------

// Reads fields in order; the first read past the end fails the reader, and
// every later read yields zero or empty.
class BinaryReader {
 public:
  explicit BinaryReader(ByteSpan b) : r_(b) {}
  bool failed() const { return r_.failed(); }

  std::uint32_t u32() {
    std::uint32_t v = 0;
    return r_.read(v) ? v : 0;
  }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::uint8_t u8() {
    std::uint8_t v = 0;
    return r_.read(v) ? v : 0;
  }
  double f64() {
    std::uint64_t v = 0;
    return r_.read(v) ? std::bit_cast<double>(v) : 0.0;
  }
  std::string str() {
    const std::uint32_t n = u32();
    ByteSpan s;
    if (failed() || !r_.read_bytes(n, s)) return {};
    return std::string(as_chars(s));
  }
  // An array whose count is checked against the bytes left before anything is
  // allocated, so a huge count in a short file costs nothing.
  template <typename T>
  std::vector<T> array() {
    const std::uint32_t n = u32();
    std::vector<T> out;
    if (failed()) return out;
    if (r_.remaining() / sizeof(T) < n) {
      ByteSpan rest;
      r_.read_bytes(r_.remaining() + 1, rest);  // marks the reader failed
      return out;
    }
    out.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      if constexpr (std::is_same_v<T, double>) {
        out[i] = f64();
      } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        out[i] = u8();
      } else {
        out[i] = static_cast<T>(u32());
      }
    }
    return out;
  }

 private:
  ByteReader r_;
};

bool parse_binary(ByteSpan b, Model& m) {
  BinaryReader r(b.subspan(8));
  m.name = r.str();
  m.objective = r.str();
  m.sigmoid = r.f64();
  m.max_feature_idx = r.i32();
  m.num_class = r.i32();
  m.average_output = r.u8() != 0;
  const std::uint32_t count = r.u32();
  if (r.failed() || count == 0) return false;
  for (std::uint32_t t = 0; t < count; ++t) {
    Tree tree;
    tree.num_leaves = r.i32();
    tree.split_feature = r.array<std::int32_t>();
    tree.threshold = r.array<double>();
    tree.decision_type = r.array<std::uint8_t>();
    tree.left_child = r.array<std::int32_t>();
    tree.right_child = r.array<std::int32_t>();
    tree.leaf_value = r.array<double>();
    tree.cat_boundaries = r.array<std::int32_t>();
    tree.cat_threshold = r.array<std::uint32_t>();
    if (r.failed() || !m.tree_error(tree).empty()) return false;
    m.trees.push_back(std::move(tree));
  }
  return true;
}

// ---- text format -----------------------------------------------------------

template <typename T>
bool parse_int(std::string_view s, T& out) {
  if (s.empty()) return false;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

bool parse_double(std::string_view s, double& out) {
  if (s.empty()) return false;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec == std::errc() && p == s.data() + s.size()) return true;
  if (ec == std::errc::result_out_of_range && p == s.data() + s.size()) {
    // Overflow reads as infinity and underflow as zero, as a C library would.
    out = std::strtod(std::string(s).c_str(), nullptr);
    return true;
  }
  return false;
}

// Space-separated values; an empty text is an empty list.
template <typename T, typename Parse>
bool parse_list(std::string_view s, std::vector<T>& out, Parse parse) {
  out.clear();
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    std::size_t j = s.find(' ', i);
    if (j == std::string_view::npos) j = s.size();
    T v{};
    if (!parse(s.substr(i, j - i), v)) return false;
    out.push_back(v);
    i = j;
  }
  return true;
}

bool parse_ints(std::string_view s, std::vector<std::int32_t>& out) {
  return parse_list(s, out, [](std::string_view t, std::int32_t& v) { return parse_int(t, v); });
}
bool parse_doubles(std::string_view s, std::vector<double>& out) {
  return parse_list(s, out, parse_double);
}
bool parse_bytes(std::string_view s, std::vector<std::uint8_t>& out) {
  // Stored into bytes: values -128..255 keep their low eight bits.
  return parse_list(s, out, [](std::string_view t, std::uint8_t& v) {
    int x = 0;
    if (!parse_int(t, x) || x < -128 || x > 255) return false;
    v = static_cast<std::uint8_t>(x);
    return true;
  });
}
bool parse_words(std::string_view s, std::vector<std::uint32_t>& out) {
  return parse_list(s, out, [](std::string_view t, std::uint32_t& v) { return parse_int(t, v); });
}

// The keys of the open tree that the loader uses; later lines replace earlier ones.
struct TreeKeys {
  std::optional<std::string_view> num_leaves, num_cat, leaf_value, threshold, split_feature, left_child, right_child,
      cat_boundaries, decision_type, cat_threshold, is_linear;

  void record(std::string_view key, std::string_view value) {
    static constexpr std::pair<std::string_view, std::optional<std::string_view> TreeKeys::*> kKeys[] = {
        {"num_leaves", &TreeKeys::num_leaves},         {"num_cat", &TreeKeys::num_cat},
        {"leaf_value", &TreeKeys::leaf_value},         {"threshold", &TreeKeys::threshold},
        {"split_feature", &TreeKeys::split_feature},   {"left_child", &TreeKeys::left_child},
        {"right_child", &TreeKeys::right_child},       {"cat_boundaries", &TreeKeys::cat_boundaries},
        {"decision_type", &TreeKeys::decision_type},   {"cat_threshold", &TreeKeys::cat_threshold},
        {"is_linear", &TreeKeys::is_linear},
    };
    for (const auto& [name, member] : kKeys) {
      if (key == name) {
        this->*member = value;
        return;
      }
    }
  }
};

std::string_view value_or_empty(const std::optional<std::string_view>& v) { return v ? *v : std::string_view(); }

// Builds and checks the open tree; true and appended to the model on success.
bool complete_tree(const TreeKeys& k, Model& m) {
  Tree t;
  if (!parse_int(value_or_empty(k.num_leaves), t.num_leaves) || t.num_leaves < 1) return false;
  std::int32_t num_cat = 0;
  if (k.num_cat && !parse_int(*k.num_cat, num_cat)) return false;
  if (!parse_doubles(value_or_empty(k.leaf_value), t.leaf_value)) return false;
  if (t.num_leaves >= 2) {
    if (!parse_ints(value_or_empty(k.split_feature), t.split_feature) ||
        !parse_doubles(value_or_empty(k.threshold), t.threshold) ||
        !parse_bytes(value_or_empty(k.decision_type), t.decision_type) ||
        !parse_ints(value_or_empty(k.left_child), t.left_child) ||
        !parse_ints(value_or_empty(k.right_child), t.right_child)) {
      return false;
    }
  }
  if (num_cat >= 1 && (!parse_ints(value_or_empty(k.cat_boundaries), t.cat_boundaries) ||
                       !parse_words(value_or_empty(k.cat_threshold), t.cat_threshold))) {
    return false;
  }
  if (k.is_linear && *k.is_linear != "0") return false;
  if (!m.tree_error(t).empty()) return false;
  m.trees.push_back(std::move(t));
  return true;
}

bool parse_text(std::string_view text, Model& m, std::string& error) {
  m.trees.clear();
  bool in_tree = false;
  TreeKeys keys;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (line == "end of trees") {
      if (in_tree && !complete_tree(keys, m)) {
        error = "bad last tree";
        return false;
      }
      in_tree = false;
      break;
    }
    if (line.size() >= 5 && line.substr(0, 5) == "Tree=") {
      if (in_tree && !complete_tree(keys, m)) {
        error = "bad tree before " + std::string(line);
        return false;
      }
      in_tree = true;
      keys = TreeKeys{};
      continue;
    }
    const std::size_t eq = line.find('=');
    if (in_tree) {
      if (eq != std::string_view::npos) keys.record(line.substr(0, eq), line.substr(eq + 1));
      continue;
    }
    if (eq == std::string_view::npos) {
      if (line == "average_output") m.average_output = true;
      continue;
    }
    const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "objective") {
      m.objective = std::string(value);
    } else if (key == "max_feature_idx") {
      std::int32_t v = 0;
      if (parse_int(value, v)) m.max_feature_idx = v;
    } else if (key == "num_class") {
      std::int32_t v = 0;
      if (parse_int(value, v)) m.num_class = v;
    }
  }
  // A tree still open when the text ends without "end of trees" is dropped.
  if (m.trees.empty()) {
    error = "no trees";
    return false;
  }
  m.sigmoid = sigmoid_from_objective(m.objective);
  return true;
}

bool child_in_range(std::int32_t c, std::int32_t leaves) {
  return c >= 0 ? c < leaves - 1 : ~c < leaves;
}

}  // namespace

bool is_binary_objective(std::string_view objective) {
  return objective.size() > 5 && objective.substr(0, 6) == "binary";
}

double sigmoid_from_objective(std::string_view objective) {
  const std::size_t at = objective.find("sigmoid:");
  if (at == std::string_view::npos) return 1.0;
  const std::string rest(objective.substr(at + 8));
  char* end = nullptr;
  const double v = std::strtod(rest.c_str(), &end);
  return end == rest.c_str() ? 1.0 : v;
}

std::string Model::tree_error(const Tree& t) const {
  const std::int32_t L = t.num_leaves;
  if (L < 1) return "a tree needs at least one leaf";
  if (t.leaf_value.size() != static_cast<std::size_t>(L)) return "leaf_value does not have num_leaves entries";
  if (L == 1) return {};
  const std::size_t nodes = static_cast<std::size_t>(L) - 1;
  if (t.split_feature.size() != nodes || t.threshold.size() != nodes || t.decision_type.size() != nodes ||
      t.left_child.size() != nodes || t.right_child.size() != nodes) {
    return "node arrays do not have num_leaves - 1 entries";
  }
  // Each internal node other than the root is the child of exactly one
  // reference; together with the range checks this makes the nodes a tree, so
  // every walk from node 0 ends at a leaf within L - 1 steps.
  std::vector<bool> has_parent(nodes, false);
  for (std::size_t i = 0; i < nodes; ++i) {
    if (t.split_feature[i] < 0 || t.split_feature[i] > max_feature_idx) return "split feature out of range";
    for (const std::int32_t c : {t.left_child[i], t.right_child[i]}) {
      if (!child_in_range(c, L)) return "child reference out of range";
      if (c == 0) return "node 0 is the child of another node";
      if (c > 0) {
        if (has_parent[static_cast<std::size_t>(c)]) return "internal node with two parents";
        has_parent[static_cast<std::size_t>(c)] = true;
      }
    }
    if (t.decision_type[i] & kCategoricalMask) {
      const double th = t.threshold[i];
      // Checked as a double first: truncating NaN or a huge value is undefined.
      if (!(th > -1.0) || !(th < static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        return "category set index out of range";
      }
      const std::int64_t k = static_cast<std::int64_t>(th);
      if (k < 0 || static_cast<std::size_t>(k) + 1 >= t.cat_boundaries.size()) return "category set index out of range";
      const std::int32_t start = t.cat_boundaries[static_cast<std::size_t>(k)];
      const std::int32_t stop = t.cat_boundaries[static_cast<std::size_t>(k) + 1];
      // The set must lie inside the bitsets: its end within cat_threshold and
      // its start neither negative nor past its end.
      if (stop < 0 || static_cast<std::size_t>(stop) > t.cat_threshold.size() || start < 0 || start > stop) {
        return "category set outside the bitsets";
      }
    }
  }
  return {};
}

bool Model::validate(std::string* error) const {
  if (trees.empty()) {
    if (error) *error = "no trees";
    return false;
  }
  for (std::size_t i = 0; i < trees.size(); ++i) {
    const std::string why = tree_error(trees[i]);
    if (!why.empty()) {
      if (error) *error = "tree " + std::to_string(i) + ": " + why;
      return false;
    }
  }
  return true;
}

bool Model::load(const NativePath& path, std::string* error) {
  Bytes content;
  if (!read_file(path, content)) {
    *this = Model{};
    if (error) *error = "cannot open " + from_native(path);
    return false;
  }
  return load_bytes(content, from_native(path), error);
}

bool Model::load_bytes(ByteSpan content, const std::string& path, std::string* error) {
  *this = Model{};
  if (content.size() >= 8 && std::memcmp(content.data(), kBinaryMagic, 8) == 0) {
    if (!parse_binary(content, *this)) {
      trees.clear();
      if (error) *error = "corrupt model file " + path;
      return false;
    }
    return true;
  }
  std::string why;
  if (!parse_text(as_chars(content), *this, why)) {
    trees.clear();
    if (error) *error = why;
    return false;
  }
  return true;
}

double predict_tree(const Tree& t, std::span<const float> x) {
  if (t.num_leaves <= 1) return t.leaf_value.empty() ? 0.0 : t.leaf_value[0];
  std::int32_t node = 0;
  // A valid tree reaches a leaf in at most L - 1 steps; the bound is only a
  // second line of defence for trees built in memory without validation.
  for (std::int32_t step = 0; step < t.num_leaves; ++step) {
    const std::size_t i = static_cast<std::size_t>(node);
    double v = static_cast<double>(x[static_cast<std::size_t>(t.split_feature[i])]);
    const std::uint8_t type = t.decision_type[i];
    bool left;
    if (type & kCategoricalMask) {
      left = false;
      // NaN and values truncating to a negative category go right; values
      // from 2^40 up lie past every possible set, so they go right as well.
      if (v > -1.0 && v < 1099511627776.0) {
        const std::int64_t c = static_cast<std::int64_t>(v);
        const std::size_t k = static_cast<std::size_t>(static_cast<std::int64_t>(t.threshold[i]));
        const std::int64_t start = t.cat_boundaries[k];
        const std::int64_t n = static_cast<std::int64_t>(t.cat_boundaries[k + 1]) - start;
        if (c / 32 < n) left = (t.cat_threshold[static_cast<std::size_t>(start + c / 32)] >> (c % 32)) & 1u;
      }
    } else {
      const int missing = (type >> kMissingTypeShift) & 3;
      if (std::isnan(v) && missing != kMissingNaN) v = 0.0;
      if ((missing == kMissingZero && v >= -kZeroThreshold && v <= kZeroThreshold) ||
          (missing == kMissingNaN && std::isnan(v))) {
        left = (type & kDefaultLeftMask) != 0;
      } else {
        left = v <= t.threshold[i];
      }
    }
    node = left ? t.left_child[i] : t.right_child[i];
    if (node < 0) return t.leaf_value[static_cast<std::size_t>(~node)];
  }
  return std::numeric_limits<double>::quiet_NaN();
}

double Model::predict(std::span<const float> features) const {
  if (max_feature_idx >= 0 && features.size() <= static_cast<std::size_t>(max_feature_idx)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  double sum = 0.0;
  for (const Tree& t : trees) sum += predict_tree(t, features);
  if (average_output && !trees.empty()) sum /= static_cast<double>(trees.size());
  if (is_binary_objective(objective)) return 1.0 / (1.0 + std::exp(-sigmoid * sum));
  return sum;
}

}  // namespace ai
