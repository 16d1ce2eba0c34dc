#include "tools/trainer/xgb_booster.h"

#include <xgboost/c_api.h>

#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

namespace trainer {
namespace {

bool fail(std::string* error, const std::string& what) {
  if (error) *error = what;
  return false;
}
bool xgb_ok(int rc, std::string* error, const char* call) {
  if (rc == 0) return true;
  return fail(error, std::string(call) + ": " + XGBGetLastError());
}

class DMatrix {
 public:
  DMatrix(const Matrix& x, std::string* error) {
    ok_ = xgb_ok(XGDMatrixCreateFromMat(x.values.data(), x.rows(), x.cols, std::numeric_limits<float>::quiet_NaN(), &h_),
                 error, "XGDMatrixCreateFromMat");
  }
  ~DMatrix() {
    if (h_) XGDMatrixFree(h_);
  }
  DMatrix(const DMatrix&) = delete;
  DMatrix& operator=(const DMatrix&) = delete;
  bool ok() const { return ok_; }
  DMatrixHandle get() const { return h_; }

 private:
  DMatrixHandle h_ = nullptr;
  bool ok_ = false;
};

std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Walks one dumped tree; internal nodes get indices in pre-order (root 0),
// leaves in the order they are met.
struct TreeBuilder {
  ai::Tree& t;
  int max_feature_idx;
  std::string error;
  int depth = 0;

  // Returns the child reference for `node`.
  bool add(const nlohmann::json& node, std::int32_t& ref) {
    if (++depth > 256) return bad("tree deeper than 256 levels");
    bool ok = add_inner(node, ref);
    --depth;
    return ok;
  }
  bool bad(const std::string& what) {
    if (error.empty()) error = what;
    return false;
  }
  bool add_inner(const nlohmann::json& node, std::int32_t& ref) {
    if (!node.is_object()) return bad("tree node is not an object");
    if (node.contains("leaf")) {
      if (!node["leaf"].is_number()) return bad("leaf without a number");
      // Leaf values are floats in XGBoost; the dump prints them with enough
      // digits to read back exactly.
      float leaf = node["leaf"].get<float>();
      ref = ~static_cast<std::int32_t>(t.leaf_value.size());
      t.leaf_value.push_back(static_cast<double>(leaf));
      return true;
    }
    if (node.contains("categories")) return bad("categorical splits are not supported");
    if (!node.contains("split") || !node.contains("split_condition") || !node.contains("yes") ||
        !node.contains("no") || !node.contains("missing") || !node.contains("children") ||
        !node["children"].is_array())
      return bad("incomplete split node");
    int feature = -1;
    const auto& split = node["split"];
    if (split.is_number_integer()) feature = split.get<int>();
    else if (split.is_string()) {
      std::string s = split.get<std::string>();
      if (s.size() < 2 || s[0] != 'f') return bad("unknown feature name " + s);
      try {
        std::size_t used = 0;
        feature = std::stoi(s.substr(1), &used);
        if (used != s.size() - 1) return bad("unknown feature name " + s);
      } catch (...) {
        return bad("unknown feature name " + s);
      }
    }
    if (feature < 0 || feature > max_feature_idx) return bad("feature index out of range");
    float cond = node["split_condition"].get<float>();
    if (!std::isfinite(cond)) return bad("split condition not finite");
    const nlohmann::json* yes = nullptr;
    const nlohmann::json* no = nullptr;
    for (const auto& c : node["children"]) {
      if (!c.is_object() || !c.contains("nodeid")) return bad("child without a node id");
      if (c["nodeid"] == node["yes"]) yes = &c;
      else if (c["nodeid"] == node["no"]) no = &c;
    }
    if (!yes || !no || node["children"].size() != 2) return bad("children do not match yes/no");
    bool missing_left;
    if (node["missing"] == node["yes"]) missing_left = true;
    else if (node["missing"] == node["no"]) missing_left = false;
    else return bad("missing branch is neither child");

    std::size_t i = t.split_feature.size();
    t.split_feature.push_back(feature);
    // x < cond over floats is x <= the float just below cond.
    t.threshold.push_back(static_cast<double>(std::nextafter(cond, -std::numeric_limits<float>::infinity())));
    t.decision_type.push_back(ai::make_decision_type(false, missing_left, ai::kMissingNaN));
    t.left_child.push_back(0);
    t.right_child.push_back(0);
    ref = static_cast<std::int32_t>(i);
    std::int32_t l = 0, r = 0;
    if (!add(*yes, l) || !add(*no, r)) return false;
    t.left_child[i] = l;
    t.right_child[i] = r;
    return true;
  }
};

}  // namespace

XgbBooster::~XgbBooster() {
  if (booster_) XGBoosterFree(booster_);
}

bool XgbBooster::train(const Matrix& x, const std::vector<float>& y, const TrainParams& p, std::string* error) {
  if (x.rows() == 0 || y.size() != x.rows()) return fail(error, "no training rows or label count mismatch");
  DMatrix d(x, error);
  if (!d.ok()) return false;
  if (!xgb_ok(XGDMatrixSetFloatInfo(d.get(), "label", y.data(), y.size()), error, "XGDMatrixSetFloatInfo")) return false;
  if (booster_) XGBoosterFree(booster_), booster_ = nullptr;
  DMatrixHandle hs[] = {d.get()};
  if (!xgb_ok(XGBoosterCreate(hs, 1, &booster_), error, "XGBoosterCreate")) return false;
  const std::map<std::string, std::string> params = {
      {"objective", "binary:logistic"},
      {"booster", "gbtree"},
      {"tree_method", p.tree_method},
      {"max_depth", std::to_string(p.max_depth)},
      {"eta", num(p.eta)},
      {"subsample", num(p.subsample)},
      {"colsample_bytree", num(p.colsample)},
      {"min_child_weight", num(p.min_child_weight)},
      {"scale_pos_weight", num(p.scale_pos_weight)},
      {"base_score", num(p.base_score)},
      {"seed", std::to_string(p.seed)},
      {"nthread", std::to_string(p.threads)},
      {"verbosity", "0"},
  };
  for (const auto& [k, v] : params)
    if (!xgb_ok(XGBoosterSetParam(booster_, k.c_str(), v.c_str()), error, "XGBoosterSetParam")) return false;
  for (int i = 0; i < p.rounds; ++i)
    if (!xgb_ok(XGBoosterUpdateOneIter(booster_, i, d.get()), error, "XGBoosterUpdateOneIter")) return false;
  return true;
}

bool XgbBooster::predict(const Matrix& x, std::vector<float>& out, std::string* error) const {
  if (!booster_) return fail(error, "no trained model");
  DMatrix d(x, error);
  if (!d.ok()) return false;
  bst_ulong n = 0;
  const float* res = nullptr;
  if (!xgb_ok(XGBoosterPredict(booster_, d.get(), 0, 0, 0, &n, &res), error, "XGBoosterPredict")) return false;
  out.assign(res, res + n);
  return true;
}

bool XgbBooster::dump_json(std::vector<std::string>& out, std::string* error) const {
  if (!booster_) return fail(error, "no trained model");
  bst_ulong n = 0;
  const char** dumps = nullptr;
  if (!xgb_ok(XGBoosterDumpModelEx(booster_, "", 0, "json", &n, &dumps), error, "XGBoosterDumpModelEx")) return false;
  out.assign(dumps, dumps + n);
  return true;
}

bool XgbBooster::base_score(float& out, std::string* error) const {
  if (!booster_) return fail(error, "no trained model");
  bst_ulong n = 0;
  const char* cfg = nullptr;
  if (!xgb_ok(XGBoosterSaveJsonConfig(booster_, &n, &cfg), error, "XGBoosterSaveJsonConfig")) return false;
  auto j = nlohmann::json::parse(std::string(cfg, n), nullptr, false);
  if (j.is_discarded()) return fail(error, "unreadable learner configuration");
  const auto* p = &j;
  for (const char* key : {"learner", "learner_model_param", "base_score"}) {
    if (!p->is_object() || !p->contains(key)) return fail(error, "learner configuration has no base score");
    p = &(*p)[key];
  }
  if (!p->is_string()) return fail(error, "base score is not text");
  try {
    out = std::stof(p->get<std::string>());
  } catch (...) {
    return fail(error, "unreadable base score");
  }
  return true;
}

float logistic_base_margin(float p) {
  // XGBoost: -log(1 / base_score - 1), in single precision.
  return -std::log(1.0f / p - 1.0f);
}

bool convert_xgb_dump(const std::vector<std::string>& dumps, float base_margin, int max_feature_idx,
                      ai::Model& out, std::string* error) {
  out.objective = "binary sigmoid:1";
  out.sigmoid = 1.0;
  out.max_feature_idx = max_feature_idx;
  out.num_class = 1;
  out.average_output = false;
  out.trees.clear();
  out.name.clear();
  ai::Tree base;
  base.num_leaves = 1;
  base.leaf_value = {static_cast<double>(base_margin)};
  out.trees.push_back(base);
  for (std::size_t k = 0; k < dumps.size(); ++k) {
    auto j = nlohmann::json::parse(dumps[k], nullptr, false);
    if (j.is_discarded()) return fail(error, "tree " + std::to_string(k) + ": dump is not JSON");
    ai::Tree t;
    TreeBuilder b{t, max_feature_idx, {}};
    std::int32_t root = 0;
    if (!b.add(j, root)) return fail(error, "tree " + std::to_string(k) + ": " + b.error);
    t.num_leaves = static_cast<std::int32_t>(t.leaf_value.size());
    out.trees.push_back(std::move(t));
  }
  return out.validate(error);
}

bool train_and_convert(const Matrix& x, const std::vector<float>& y, const TrainParams& p, int max_feature_idx,
                       const std::string& name, const Matrix& check, double tolerance, ai::Model& out,
                       double* max_diff, std::string* error) {
  XgbBooster booster;
  if (!booster.train(x, y, p, error)) return false;
  std::vector<std::string> dumps;
  float base = 0.5f;
  if (!booster.dump_json(dumps, error) || !booster.base_score(base, error)) return false;
  if (!(base > 0.0f && base < 1.0f)) return fail(error, "base score outside (0, 1)");
  if (!convert_xgb_dump(dumps, logistic_base_margin(base), max_feature_idx, out, error)) return false;
  out.name = name;
  std::vector<float> expected;
  if (!booster.predict(check, expected, error)) return false;
  double worst = 0.0;
  if (!out.validate(error)) return false;
  for (std::size_t r = 0; r < check.rows(); ++r) {
    std::span<const float> row(check.values.data() + r * check.cols, check.cols);
    double d = std::fabs(out.predict(row) - static_cast<double>(expected[r]));
    if (!(d <= worst)) worst = d;
  }
  if (max_diff) *max_diff = worst;
  if (!(worst <= tolerance)) return fail(error, "converted model differs from XGBoost by " + num(worst));
  return true;
}

}  // namespace trainer
