// A gradient-boosted tree ensemble as the detector stores it, with writers for
// the two model file formats the program reads ("AVM1" binary and the text
// subset). The writers are exact: every threshold and leaf value read back
// from either file is the very double written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trainer {

struct Tree {
  std::int32_t num_leaves = 1;
  std::vector<std::int32_t> split_feature;
  std::vector<double> threshold;
  std::vector<std::uint8_t> decision_type;  // bit 1 default-left; bits 2-3 missing type (2 = NaN)
  std::vector<std::int32_t> left_child;     // >= 0 internal node, < 0 leaf ~c
  std::vector<std::int32_t> right_child;
  std::vector<double> leaf_value;
};

struct TreeModel {
  std::string name;
  std::string objective = "binary sigmoid:1";
  double sigmoid = 1.0;
  std::int32_t max_feature_idx = -1;
  std::int32_t num_class = 1;
  bool average_output = false;
  std::vector<Tree> trees;
};

// Decision-type bits of a numerical node.
constexpr std::uint8_t kDefaultLeft = 2;
constexpr std::uint8_t kMissingNaN = 8;

std::string encode_avm(const TreeModel& m);
std::string encode_text(const TreeModel& m);

// The model's output for one vector, evaluated the way the detector does
// (sum of tree outputs, logistic for binary objectives). `x` must have more
// than max_feature_idx entries.
double evaluate(const TreeModel& m, const std::vector<float>& x);

}  // namespace trainer
