#include "ai/model_writer.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace ai {
namespace {

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_f64(std::string& out, double d) {
  const std::uint64_t v = std::bit_cast<std::uint64_t>(d);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_str(std::string& out, const std::string& s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}
template <typename T>
void put_array(std::string& out, const std::vector<T>& a) {
  put_u32(out, static_cast<std::uint32_t>(a.size()));
  for (const T& v : a) {
    if constexpr (std::is_same_v<T, double>) {
      put_f64(out, v);
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
      out.push_back(static_cast<char>(v));
    } else {
      put_u32(out, static_cast<std::uint32_t>(v));
    }
  }
}

// Shortest text that reads back as the same double; NaN of any sign is "nan".
void put_double_text(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  out.append(buf, r.ptr);
}

template <typename T>
void put_list(std::string& out, const char* key, const std::vector<T>& a) {
  out += key;
  out += '=';
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i) out += ' ';
    if constexpr (std::is_same_v<T, double>) {
      put_double_text(out, a[i]);
    } else {
      out += std::to_string(a[i]);
    }
  }
  out += '\n';
}

}  // namespace

std::string write_model_binary(const Model& m) {
  std::string out(kBinaryMagic, kBinaryMagic + 8);
  put_str(out, m.name);
  put_str(out, m.objective);
  put_f64(out, m.sigmoid);
  put_u32(out, static_cast<std::uint32_t>(m.max_feature_idx));
  put_u32(out, static_cast<std::uint32_t>(m.num_class));
  out.push_back(m.average_output ? 1 : 0);
  put_u32(out, static_cast<std::uint32_t>(m.trees.size()));
  for (const Tree& t : m.trees) {
    put_u32(out, static_cast<std::uint32_t>(t.num_leaves));
    put_array(out, t.split_feature);
    put_array(out, t.threshold);
    put_array(out, t.decision_type);
    put_array(out, t.left_child);
    put_array(out, t.right_child);
    put_array(out, t.leaf_value);
    put_array(out, t.cat_boundaries);
    put_array(out, t.cat_threshold);
  }
  return out;
}

bool write_model_text(const Model& m, std::string& out, std::string* error) {
  if (m.objective.find_first_of("\r\n") != std::string::npos) {
    if (error) *error = "the objective holds a line break";
    return false;
  }
  const double implied = sigmoid_from_objective(m.objective);
  // Only binary objectives use sigmoid; for others it is immaterial.
  if (is_binary_objective(m.objective) && std::bit_cast<std::uint64_t>(implied) != std::bit_cast<std::uint64_t>(m.sigmoid) &&
      !(std::isnan(implied) && std::isnan(m.sigmoid))) {
    if (error) *error = "sigmoid differs from the one the objective names";
    return false;
  }
  out.clear();
  out += "tree\nversion=v4\n";
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
    // Category arrays are read back only when num_cat is at least 1.
    const bool has_cats = !t.cat_boundaries.empty() || !t.cat_threshold.empty();
    const std::size_t num_cat = has_cats ? std::max<std::size_t>(1, t.cat_boundaries.size() > 0 ? t.cat_boundaries.size() - 1 : 0) : 0;
    out += "num_cat=" + std::to_string(num_cat) + "\n";
    if (t.num_leaves >= 2) {
      put_list(out, "split_feature", t.split_feature);
      put_list(out, "threshold", t.threshold);
      std::vector<int> types(t.decision_type.begin(), t.decision_type.end());
      put_list(out, "decision_type", types);
      put_list(out, "left_child", t.left_child);
      put_list(out, "right_child", t.right_child);
    }
    put_list(out, "leaf_value", t.leaf_value);
    if (has_cats) {
      put_list(out, "cat_boundaries", t.cat_boundaries);
      put_list(out, "cat_threshold", t.cat_threshold);
    }
    out += "is_linear=0\nshrinkage=1\n\n\n";
  }
  out += "end of trees\n";
  return true;
}

bool save_model(const Model& m, const NativePath& path, ModelFormat format, std::string* error) {
  std::string why;
  if (!m.validate(&why)) {
    if (error) *error = "invalid model: " + why;
    return false;
  }
  std::string bytes;
  if (format == ModelFormat::Binary) {
    bytes = write_model_binary(m);
  } else if (!write_model_text(m, bytes, error)) {
    return false;
  }
  if (!write_file_atomic(path, bytes)) {
    if (error) *error = "cannot write " + from_native(path);
    return false;
  }
  return true;
}

ModelFormat format_for_path(const NativePath& path) {
  const std::string name = file_name(path);
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".avm") == 0 ? ModelFormat::Binary : ModelFormat::Text;
}

}  // namespace ai
