// The trainer's conversion is exact: a model trained by XGBoost, converted and
// written to either model file format, scores every vector as XGBoost does,
// including missing values and values lying exactly on a split point.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "support/test_support.h"
#include "ai/model.h"
#include "ai/model_writer.h"
#include "tools/trainer/xgb_booster.h"

namespace {

constexpr int kCols = 8;  // feature 7 is never informative and rarely used
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Values on a coarse grid so that many rows sit exactly on candidate split
// points; about one value in seven is missing.
trainer::Matrix synthetic(std::mt19937& rng, int rows, std::vector<float>* labels) {
  trainer::Matrix m;
  m.cols = kCols;
  std::uniform_int_distribution<int> grid(-40, 40);
  std::uniform_int_distribution<int> die(0, 6);
  std::uniform_real_distribution<float> noise(0.0f, 1.0f);
  for (int r = 0; r < rows; ++r) {
    float row[kCols];
    for (float& v : row) v = die(rng) == 0 ? kNaN : static_cast<float>(grid(rng)) * 0.37f;
    m.values.insert(m.values.end(), row, row + kCols);
    if (labels) {
      float a = std::isnan(row[0]) ? 3.0f : row[0];
      float b = std::isnan(row[1]) ? -2.0f : row[1];
      bool pos = (a > 1.1f && b < 4.0f) || (std::isnan(row[2]) && row[3] > 0.0f) || row[4] * row[5] > 30.0f;
      if (noise(rng) < 0.08f) pos = !pos;
      labels->push_back(pos ? 1.0f : 0.0f);
    }
  }
  return m;
}

// For every split of the model: copies of base rows with the split feature
// set to XGBoost's own split value, to the float just below it, and to NaN.
void add_split_points(const ai::Model& model, const trainer::Matrix& base, trainer::Matrix& out) {
  std::size_t r = 0;
  std::set<std::pair<int, double>> seen;
  for (const auto& t : model.trees)
    for (std::size_t i = 0; i < t.split_feature.size(); ++i) {
      if (!seen.insert({t.split_feature[i], t.threshold[i]}).second) continue;
      float below = static_cast<float>(t.threshold[i]);
      float at = std::nextafter(below, std::numeric_limits<float>::infinity());
      for (float v : {at, below, kNaN}) {
        std::size_t row = (r++ % base.rows()) * base.cols;
        std::vector<float> copy(base.values.begin() + row, base.values.begin() + row + base.cols);
        copy[t.split_feature[i]] = v;
        out.values.insert(out.values.end(), copy.begin(), copy.end());
      }
    }
}

struct Case {
  const char* tree_method;
  int rounds;
  int depth;
  double base_score;
};

class TrainerConversion : public ::testing::TestWithParam<Case> {};

TEST_P(TrainerConversion, ConvertedModelScoresAsXgboostOnHeldOutVectors) {
  const Case c = GetParam();
  std::mt19937 rng(7);
  std::vector<float> y;
  trainer::Matrix train = synthetic(rng, 600, &y);
  trainer::Matrix held = synthetic(rng, 300, nullptr);

  trainer::TrainParams p;
  p.tree_method = c.tree_method;
  p.rounds = c.rounds;
  p.max_depth = c.depth;
  p.eta = 0.3;
  p.base_score = c.base_score;
  p.threads = 1;
  trainer::XgbBooster booster;
  std::string err;
  ASSERT_TRUE(booster.train(train, y, p, &err)) << err;
  std::vector<std::string> dumps;
  float base = 0;
  ASSERT_TRUE(booster.dump_json(dumps, &err)) << err;
  ASSERT_TRUE(booster.base_score(base, &err)) << err;
  EXPECT_FLOAT_EQ(base, static_cast<float>(c.base_score));
  ai::Model converted;
  ASSERT_TRUE(trainer::convert_xgb_dump(dumps, trainer::logistic_base_margin(base), kCols + 1, converted, &err)) << err;
  ASSERT_EQ(converted.trees.size(), dumps.size() + 1);
  EXPECT_EQ(converted.trees[0].num_leaves, 1);
  converted.name = "synthetic";

  // Both files, read back by the program's own loader.
  test::TempDir dir;
  ai::Model from_avm, from_text;
  ASSERT_TRUE(ai::save_model(converted, dir.file("m.avm"), ai::ModelFormat::Binary, &err)) << err;
  ASSERT_TRUE(ai::save_model(converted, dir.file("m.txt"), ai::ModelFormat::Text, &err)) << err;
  ASSERT_TRUE(from_avm.load(dir.file("m.avm"), &err)) << err;
  ASSERT_TRUE(from_text.load(dir.file("m.txt"), &err)) << err;
  EXPECT_EQ(from_avm.name, "synthetic");
  EXPECT_EQ(from_text.trees.size(), converted.trees.size());
  const ai::Model& model = from_avm;

  add_split_points(model, held, held);
  std::vector<float> expected;
  ASSERT_TRUE(booster.predict(held, expected, &err)) << err;
  ASSERT_EQ(expected.size(), held.rows());

  // The vector handed to a model is longer than its highest feature index.
  int missing_rows = 0;
  std::set<double> scores;
  for (std::size_t r = 0; r < held.rows(); ++r) {
    std::vector<float> x(held.values.begin() + r * kCols, held.values.begin() + (r + 1) * kCols);
    for (float v : x) missing_rows += std::isnan(v) ? 1 : 0;
    x.resize(kCols + 2, 0.0f);
    double got = from_avm.predict(x);
    ASSERT_NEAR(got, expected[r], 1e-6) << "row " << r;
    ASSERT_EQ(from_text.predict(x), got) << "row " << r;
    scores.insert(got);
  }
  EXPECT_GT(missing_rows, 0);
  EXPECT_GT(held.rows(), 300u);
  EXPECT_GT(scores.size(), 1u);  // the model is not constant
}

INSTANTIATE_TEST_SUITE_P(Methods, TrainerConversion,
                         ::testing::Values(Case{"exact", 25, 4, 0.5}, Case{"hist", 25, 5, 0.3},
                                           Case{"approx", 10, 3, 0.7}, Case{"hist", 1, 1, 0.2}));

// Split conditions are strict in XGBoost and inclusive in the converted model:
// a value exactly at the split goes right in both.
TEST(TrainerConversionRules, SplitValueGoesRightAndMissingFollowsLearnedDirection) {
  const std::vector<std::string> dump = {
      R"({ "nodeid": 0, "depth": 0, "split": "f2", "split_condition": 1.5, "yes": 1, "no": 2, "missing": 2,
           "children": [ { "nodeid": 1, "leaf": -0.25 }, { "nodeid": 2, "leaf": 0.75 } ] })"};
  ai::Model m;
  std::string err;
  ASSERT_TRUE(trainer::convert_xgb_dump(dump, 0.0f, 3, m, &err)) << err;
  ASSERT_EQ(m.trees.size(), 2u);
  const auto& t = m.trees[1];
  ASSERT_EQ(t.num_leaves, 2);
  EXPECT_EQ(t.split_feature[0], 2);
  EXPECT_EQ(t.threshold[0], static_cast<double>(std::nextafter(1.5f, -INFINITY)));
  EXPECT_EQ(t.decision_type[0], ai::make_decision_type(false, false, ai::kMissingNaN));  // missing goes to "no": right
  auto margin = [&](float v) {
    const float x[] = {0, 0, v, 0};
    double p = m.predict(x);
    return std::log(p / (1 - p));
  };
  EXPECT_NEAR(margin(1.5f), 0.75, 1e-9);
  EXPECT_NEAR(margin(std::nextafter(1.5f, -INFINITY)), -0.25, 1e-9);
  EXPECT_NEAR(margin(kNaN), 0.75, 1e-9);
}

TEST(TrainerConversionRules, RefusesWhatTheModelCannotHold) {
  struct Bad {
    const char* why;
    std::string dump;
  } cases[] = {
      {"feature beyond max_feature_idx",
       R"({"nodeid":0,"split":"f9","split_condition":1,"yes":1,"no":2,"missing":1,"children":[{"nodeid":1,"leaf":1},{"nodeid":2,"leaf":2}]})"},
      {"categorical split",
       R"({"nodeid":0,"split":"f1","split_condition":1,"categories":[1],"yes":1,"no":2,"missing":1,"children":[{"nodeid":1,"leaf":1},{"nodeid":2,"leaf":2}]})"},
      {"children not matching",
       R"({"nodeid":0,"split":"f1","split_condition":1,"yes":1,"no":5,"missing":1,"children":[{"nodeid":1,"leaf":1},{"nodeid":2,"leaf":2}]})"},
      {"missing to neither child",
       R"({"nodeid":0,"split":"f1","split_condition":1,"yes":1,"no":2,"missing":7,"children":[{"nodeid":1,"leaf":1},{"nodeid":2,"leaf":2}]})"},
      {"not JSON", "{ nodeid: 0"},
  };
  for (const auto& c : cases) {
    ai::Model m;
    std::string err;
    EXPECT_FALSE(trainer::convert_xgb_dump({c.dump}, 0.0f, 3, m, &err)) << c.why;
    EXPECT_FALSE(err.empty()) << c.why;
  }
}

}  // namespace
