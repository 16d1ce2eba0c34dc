// One gradient-boosted decision-tree ensemble and its two file formats: the
// binary "AVM1" format and the LightGBM text subset (plain trees, numerical and
// categorical splits). The loader tells them apart by the 8-byte magic.
//
// Every tree of a loaded model is valid (tree_error() is empty), and validity
// guarantees that evaluation reads only inside the tree's arrays and reaches a
// leaf in at most num_leaves - 1 steps: children are in range, node 0 is never
// a child, no internal node is the child of two parents (so no cycle), and a
// categorical node's category set lies inside cat_threshold.
//
// The fields are public so tools (converter, trainer) can build a model in
// memory; such a model should pass validate() before predict() or writing.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/file_system.h"

namespace ai {

// decision_type bits.
constexpr std::uint8_t kCategoricalMask = 0x01;   // bit 0: categorical split
constexpr std::uint8_t kDefaultLeftMask = 0x02;   // bit 1: missing values go left
constexpr int kMissingTypeShift = 2;              // bits 2-3: missing-value type
constexpr std::uint8_t kMissingNone = 0;
constexpr std::uint8_t kMissingZero = 1;
constexpr std::uint8_t kMissingNaN = 2;

// The decision_type byte for the given parts.
constexpr std::uint8_t make_decision_type(bool categorical, bool default_left, std::uint8_t missing_type) {
  return static_cast<std::uint8_t>((categorical ? kCategoricalMask : 0) | (default_left ? kDefaultLeftMask : 0) |
                                   ((missing_type & 3) << kMissingTypeShift));
}

// The 8-byte magic of the binary format: "AVM1" 00 00 00 01.
constexpr char kBinaryMagic[8] = {'A', 'V', 'M', '1', 0, 0, 0, 1};

// One tree with L leaves and L - 1 internal nodes, stored as flat arrays.
// A child reference c >= 0 names internal node c; c < 0 names leaf ~c (-c - 1).
struct Tree {
  std::int32_t num_leaves = 0;
  std::vector<std::int32_t> split_feature;   // L - 1 entries
  std::vector<double> threshold;             // L - 1; categorical: index of the category set
  std::vector<std::uint8_t> decision_type;   // L - 1; see the masks above
  std::vector<std::int32_t> left_child;      // L - 1; taken when the test holds
  std::vector<std::int32_t> right_child;     // L - 1
  std::vector<double> leaf_value;            // L entries
  std::vector<std::int32_t> cat_boundaries;  // set k = words [cat_boundaries[k], cat_boundaries[k+1])
  std::vector<std::uint32_t> cat_threshold;  // category bitsets, 32 categories per word
};

class Model {
 public:
  std::string name;                 // binary format: from the file; text: left empty
  std::string objective;            // e.g. "binary sigmoid:1"
  double sigmoid = 1.0;             // slope of the logistic output
  std::int32_t max_feature_idx = -1;
  std::int32_t num_class = 1;
  bool average_output = false;      // mean instead of sum of the tree outputs
  std::vector<Tree> trees;

  // Reads the whole file and parses it (format chosen by the magic). On
  // failure returns false and stores the message in *error when given:
  // "cannot open <path>", "corrupt model file <path>", "bad tree before <line>",
  // "bad last tree" or "no trees". A failed load leaves the model unusable.
  bool load(const NativePath& path, std::string* error = nullptr);
  // The same parse over bytes already in memory; `path` only appears in messages.
  bool load_bytes(ByteSpan content, const std::string& path, std::string* error = nullptr);

  // The model's output for `features`, which must have more than
  // max_feature_idx entries (otherwise NaN is returned). Sum of the tree
  // outputs (mean with average_output); objectives longer than 5 characters
  // beginning with "binary" return 1 / (1 + exp(-sigmoid * sum)).
  double predict(std::span<const float> features) const;

  // Why `tree` breaks the validity rules under this model's max_feature_idx;
  // empty when it is valid.
  std::string tree_error(const Tree& tree) const;
  // True when there is at least one tree and every tree is valid; otherwise
  // false with the first problem in *error.
  bool validate(std::string* error = nullptr) const;
};

// True for objectives longer than 5 characters that begin with "binary": their
// output is a logistic probability.
bool is_binary_objective(std::string_view objective);
// The number after "sigmoid:" in an objective text, or 1.0 without one; this is
// how the text format carries `sigmoid`.
double sigmoid_from_objective(std::string_view objective);

// The zero band of missing type "zero": the single-precision 1e-35 widened.
constexpr double kZeroThreshold = static_cast<double>(1e-35f);

// The output of one valid tree on `features` (all split features must be in range).
double predict_tree(const Tree& tree, std::span<const float> features);

}  // namespace ai
