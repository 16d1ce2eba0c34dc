#include "tools/trainer/tree_model.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace trainer {
namespace {

template <typename T>
void put_le(std::string& out, T v) {
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}
void put_double(std::string& out, double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  put_le(out, u);
}
void put_string(std::string& out, const std::string& s) {
  put_le(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}
template <typename T>
void put_array(std::string& out, const std::vector<T>& v) {
  put_le(out, static_cast<std::uint32_t>(v.size()));
  for (const T& e : v) {
    if constexpr (std::is_same_v<T, double>) put_double(out, e);
    else put_le(out, e);
  }
}

// Shortest text that reads back as exactly `d` (17 significant digits always do).
std::string number_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[40];
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}
template <typename T>
std::string join(const std::vector<T>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ' ';
    if constexpr (std::is_same_v<T, double>) s += number_text(v[i]);
    else s += std::to_string(static_cast<long long>(v[i]));
  }
  return s;
}

}  // namespace

std::string encode_avm(const TreeModel& m) {
  std::string out("AVM1\0\0\0\1", 8);
  put_string(out, m.name);
  put_string(out, m.objective);
  put_double(out, m.sigmoid);
  put_le(out, m.max_feature_idx);
  put_le(out, m.num_class);
  out.push_back(m.average_output ? 1 : 0);
  put_le(out, static_cast<std::uint32_t>(m.trees.size()));
  for (const Tree& t : m.trees) {
    put_le(out, t.num_leaves);
    put_array(out, t.split_feature);
    put_array(out, t.threshold);
    put_array(out, t.decision_type);
    put_array(out, t.left_child);
    put_array(out, t.right_child);
    put_array(out, t.leaf_value);
    put_array(out, std::vector<std::int32_t>{});
    put_array(out, std::vector<std::uint32_t>{});
  }
  return out;
}

std::string encode_text(const TreeModel& m) {
  std::string out = "tree\nversion=v3\n";
  out += "num_class=" + std::to_string(m.num_class) + "\n";
  out += "num_tree_per_iteration=1\nlabel_index=0\n";
  out += "max_feature_idx=" + std::to_string(m.max_feature_idx) + "\n";
  out += "objective=" + m.objective + "\n";
  if (m.average_output) out += "average_output\n";
  out += "\n";
  for (std::size_t i = 0; i < m.trees.size(); ++i) {
    const Tree& t = m.trees[i];
    out += "Tree=" + std::to_string(i) + "\n";
    out += "num_leaves=" + std::to_string(t.num_leaves) + "\n";
    out += "num_cat=0\n";
    if (t.num_leaves >= 2) {
      out += "split_feature=" + join(t.split_feature) + "\n";
      out += "threshold=" + join(t.threshold) + "\n";
      out += "decision_type=" + join(t.decision_type) + "\n";
      out += "left_child=" + join(t.left_child) + "\n";
      out += "right_child=" + join(t.right_child) + "\n";
    }
    out += "leaf_value=" + join(t.leaf_value) + "\n";
    out += "is_linear=0\nshrinkage=1\n\n";
  }
  out += "end of trees\n";
  return out;
}

double evaluate(const TreeModel& m, const std::vector<float>& x) {
  double sum = 0.0;
  for (const Tree& t : m.trees) {
    if (t.num_leaves <= 1) {
      sum += t.leaf_value.empty() ? 0.0 : t.leaf_value[0];
      continue;
    }
    std::int32_t node = 0;
    for (std::int32_t steps = 0; node >= 0 && steps < t.num_leaves; ++steps) {
      double v = x[t.split_feature[node]];
      int missing = (t.decision_type[node] >> 2) & 3;
      if (std::isnan(v) && missing != 2) v = 0.0;
      bool left;
      if ((missing == 1 && v >= -1.0000000180025095e-35 && v <= 1.0000000180025095e-35) ||
          (missing == 2 && std::isnan(v)))
        left = (t.decision_type[node] & kDefaultLeft) != 0;
      else
        left = v <= t.threshold[node];
      node = left ? t.left_child[node] : t.right_child[node];
    }
    sum += node < 0 ? t.leaf_value[~node] : 0.0;
  }
  if (m.average_output && !m.trees.empty()) sum /= static_cast<double>(m.trees.size());
  if (m.objective.size() > 5 && m.objective.compare(0, 6, "binary") == 0) return 1.0 / (1.0 + std::exp(-m.sigmoid * sum));
  return sum;
}

}  // namespace trainer
