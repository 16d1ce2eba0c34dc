// Gradient-boosted trees trained by XGBoost (through its C API) and their exact
// conversion into the detector's tree model. XGBoost sends a value x left when
// x < t on single-precision values; the converted node sends it left when
// x <= t' with t' the next float below t, which is the same set of floats.
// Missing values (NaN) follow XGBoost's learned direction; its base score
// becomes a one-leaf tree holding the margin it adds to every prediction.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ai/model.h"

namespace trainer {

// Rows of `cols` single-precision values, row-major; NaN marks a missing value.
struct Matrix {
  std::size_t cols = 0;
  std::vector<float> values;
  std::size_t rows() const { return cols ? values.size() / cols : 0; }
};

struct TrainParams {
  int rounds = 100;
  int max_depth = 6;
  double eta = 0.1;
  double subsample = 1.0;
  double colsample = 1.0;
  double min_child_weight = 1.0;
  double scale_pos_weight = 1.0;
  double base_score = 0.5;  // initial probability, in (0, 1)
  std::string tree_method = "hist";
  int seed = 0;
  int threads = 2;
};

class XgbBooster {
 public:
  XgbBooster() = default;
  ~XgbBooster();
  XgbBooster(const XgbBooster&) = delete;
  XgbBooster& operator=(const XgbBooster&) = delete;

  // Trains a binary:logistic model on `x` with labels 0/1 in `y`.
  bool train(const Matrix& x, const std::vector<float>& y, const TrainParams& p, std::string* error);
  // XGBoost's own probabilities for every row of `x`.
  bool predict(const Matrix& x, std::vector<float>& out, std::string* error) const;
  // One JSON document per tree, as XGBoost dumps them.
  bool dump_json(std::vector<std::string>& out, std::string* error) const;
  // The learner's base score (a probability for binary:logistic).
  bool base_score(float& out, std::string* error) const;

 private:
  void* booster_ = nullptr;
};

// Converts XGBoost JSON tree dumps into a tree model with `max_feature_idx`,
// prefixed by a one-leaf tree of value `base_margin`. Fails on categorical
// splits, unknown features or malformed dumps.
bool convert_xgb_dump(const std::vector<std::string>& dumps, float base_margin, int max_feature_idx,
                      ai::Model& out, std::string* error);

// The margin XGBoost adds for base score `p` with binary:logistic, computed as
// XGBoost does, in single precision.
float logistic_base_margin(float p);

// Trains, converts and checks: the converted model's score must equal XGBoost's
// on every row of `check` within `tolerance`; `max_diff` receives the largest gap.
bool train_and_convert(const Matrix& x, const std::vector<float>& y, const TrainParams& p,
                       int max_feature_idx, const std::string& name, const Matrix& check,
                       double tolerance, ai::Model& out, double* max_diff, std::string* error);

}  // namespace trainer
