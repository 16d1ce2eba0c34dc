#include "ai/model.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "ai/model_writer.h"
#include "support/test_support.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint8_t kNum = ai::make_decision_type(false, false, ai::kMissingNone);
constexpr std::uint8_t kCat = ai::make_decision_type(true, false, ai::kMissingNone);

ai::Tree leaf(double v) {
  ai::Tree t;
  t.num_leaves = 1;
  t.leaf_value = {v};
  return t;
}

// One split on `feature`: the test holding gives `yes`, otherwise `no`.
ai::Tree stump(std::int32_t feature, double threshold, std::uint8_t type, double yes, double no) {
  ai::Tree t;
  t.num_leaves = 2;
  t.split_feature = {feature};
  t.threshold = {threshold};
  t.decision_type = {type};
  t.left_child = {-1};
  t.right_child = {-2};
  t.leaf_value = {yes, no};
  return t;
}

// A categorical stump over set 0 = categories 0-31, set 1 = category 33 only.
ai::Tree cat_stump(double set) {
  ai::Tree t = stump(0, set, kCat, 1.0, -1.0);
  t.cat_boundaries = {0, 1, 3};
  t.cat_threshold = {0xFFFFFFFFu, 0u, 1u << 1};
  return t;
}

// A chain: node i tests feature i <= 0.5; leaves 0..3 as it falls through.
ai::Tree chain() {
  ai::Tree t;
  t.num_leaves = 4;
  t.split_feature = {0, 1, 2};
  t.threshold = {0.5, 0.5, 0.5};
  t.decision_type = {kNum, kNum, kNum};
  t.left_child = {-1, -2, -3};
  t.right_child = {1, 2, -4};
  t.leaf_value = {10, 20, 30, 40};
  return t;
}

ai::Model model_of(std::vector<ai::Tree> trees, std::string objective = "regression", std::int32_t max_feature = 3) {
  ai::Model m;
  m.objective = std::move(objective);
  m.sigmoid = ai::sigmoid_from_objective(m.objective);
  m.max_feature_idx = max_feature;
  m.trees = std::move(trees);
  return m;
}

// Writes `m` in both formats under `dir` and loads each back.
struct BothFormats {
  ai::Model binary, text;
  std::string binary_error, text_error;
  bool binary_ok = false, text_ok = false;
  std::string binary_path, text_path;
};
BothFormats load_both(const test::TempDir& dir, const ai::Model& m, const std::string& stem) {
  BothFormats r;
  r.binary_path = dir.write(stem + ".avm", ai::write_model_binary(m));
  std::string text;
  EXPECT_TRUE(ai::write_model_text(m, text));
  r.text_path = dir.write(stem + ".txt", text);
  r.binary_ok = r.binary.load(r.binary_path, &r.binary_error);
  r.text_ok = r.text.load(r.text_path, &r.text_error);
  return r;
}

bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

struct EvalCase {
  const char* what;
  ai::Model model;
  std::vector<float> x;
  double expected;
};

TEST(ModelEval, TableOfSmallModelsInBothFormats) {
  ai::Model avg = model_of({leaf(1.0), leaf(3.0)});
  avg.average_output = true;
  const float tiny = 1e-36f, band = 1e-35f, outside = 2e-35f;
  const std::vector<EvalCase> cases = {
      {"single leaf, no node arrays", model_of({leaf(0.25)}), {9, 9, 9, 9}, 0.25},
      {"sum of trees", model_of({leaf(0.25), leaf(0.5), stump(1, 2.0, kNum, 1.0, 2.0)}), {0, 2, 0, 0}, 1.75},
      {"value equal to threshold goes left", model_of({stump(2, 1.5, kNum, 1, 2)}), {0, 0, 1.5f, 0}, 1},
      {"value above threshold goes right", model_of({stump(2, 1.5, kNum, 1, 2)}), {0, 0, 1.5001f, 0}, 2},
      {"NaN, missing NaN, default left", model_of({stump(0, -5, ai::make_decision_type(false, true, ai::kMissingNaN), 1, 2)}), {kNaNf, 0, 0, 0}, 1},
      {"NaN, missing NaN, default right", model_of({stump(0, 5, ai::make_decision_type(false, false, ai::kMissingNaN), 1, 2)}), {kNaNf, 0, 0, 0}, 2},
      {"number, missing NaN compares", model_of({stump(0, 5, ai::make_decision_type(false, true, ai::kMissingNaN), 1, 2)}), {6, 0, 0, 0}, 2},
      {"NaN, missing none, compared as 0 (left)", model_of({stump(0, 0.5, kNum, 1, 2)}), {kNaNf, 0, 0, 0}, 1},
      {"NaN, missing none, compared as 0 (right)", model_of({stump(0, -0.5, ai::make_decision_type(false, true, ai::kMissingNone), 1, 2)}), {kNaNf, 0, 0, 0}, 2},
      {"zero band, default left", model_of({stump(0, -1, ai::make_decision_type(false, true, ai::kMissingZero), 1, 2)}), {tiny, 0, 0, 0}, 1},
      {"zero band edge is inside", model_of({stump(0, -1, ai::make_decision_type(false, true, ai::kMissingZero), 1, 2)}), {-band, 0, 0, 0}, 1},
      {"just outside zero band compares", model_of({stump(0, -1, ai::make_decision_type(false, true, ai::kMissingZero), 1, 2)}), {outside, 0, 0, 0}, 2},
      {"zero band, default right", model_of({stump(0, 1, ai::make_decision_type(false, false, ai::kMissingZero), 1, 2)}), {0, 0, 0, 0}, 2},
      {"NaN with missing zero is zero", model_of({stump(0, -1, ai::make_decision_type(false, true, ai::kMissingZero), 1, 2)}), {kNaNf, 0, 0, 0}, 1},
      {"category 5 in set 0-31", model_of({cat_stump(0)}), {5, 0, 0, 0}, 1},
      {"category 5.7 truncates to 5", model_of({cat_stump(0)}), {5.7f, 0, 0, 0}, 1},
      {"category -0.5 truncates to 0", model_of({cat_stump(0)}), {-0.5f, 0, 0, 0}, 1},
      {"category 40 past set 0-31", model_of({cat_stump(0)}), {40, 0, 0, 0}, -1},
      {"negative category goes right", model_of({cat_stump(0)}), {-1, 0, 0, 0}, -1},
      {"NaN category goes right", model_of({cat_stump(0)}), {kNaNf, 0, 0, 0}, -1},
      {"huge category goes right", model_of({cat_stump(0)}), {3e38f, 0, 0, 0}, -1},
      {"category 33 in second set", model_of({cat_stump(1)}), {33, 0, 0, 0}, 1},
      {"category 32 not in second set", model_of({cat_stump(1)}), {32, 0, 0, 0}, -1},
      {"category 5 not in second set", model_of({cat_stump(1)}), {5, 0, 0, 0}, -1},
      {"categorical set index 1.9 truncates to 1", model_of({cat_stump(1.9)}), {33, 0, 0, 0}, 1},
      {"chain to the last leaf", model_of({chain()}), {1, 1, 1, 0}, 40},
      {"chain to the third leaf", model_of({chain()}), {1, 1, 0, 0}, 30},
      {"average output", avg, {0, 0, 0, 0}, 2.0},
      {"binary sigmoid:2", model_of({leaf(0.3), leaf(0.2)}, "binary sigmoid:2"), {0, 0, 0, 0}, 1.0 / (1.0 + std::exp(-2.0 * 0.5))},
      {"binary without sigmoid slope", model_of({leaf(0.0)}, "binary"), {0, 0, 0, 0}, 0.5},
      {"regression returns the raw sum", model_of({leaf(3.0)}, "regression"), {0, 0, 0, 0}, 3.0},
      {"5-character binar is not binary", model_of({leaf(3.0)}, "binar"), {0, 0, 0, 0}, 3.0},
  };
  test::TempDir dir;
  int n = 0;
  for (const EvalCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.model.validate());
    const BothFormats both = load_both(dir, c.model, "case" + std::to_string(n++));
    ASSERT_TRUE(both.binary_ok) << both.binary_error;
    ASSERT_TRUE(both.text_ok) << both.text_error;
    const double b = both.binary.predict(c.x), t = both.text.predict(c.x);
    EXPECT_DOUBLE_EQ(b, c.expected);
    EXPECT_TRUE(same_double(b, t)) << b << " vs " << t;
    EXPECT_TRUE(same_double(c.model.predict(c.x), b));
  }
}

TEST(ModelEval, ZeroBandIsSinglePrecisionValueWidened) {
  EXPECT_EQ(ai::kZeroThreshold, 1.0000000180025095e-35);
}

TEST(ModelEval, TooFewFeaturesGiveNaN) {
  const ai::Model m = model_of({stump(3, 0, kNum, 1, 2)});
  EXPECT_TRUE(std::isnan(m.predict(std::vector<float>(3, 0.0f))));
  EXPECT_EQ(m.predict(std::vector<float>(4, 0.0f)), 1.0);
}

// Trees that must be refused before evaluation could loop or read out of bounds.
struct BadCase {
  const char* what;
  ai::Tree tree;
};

std::vector<BadCase> bad_trees() {
  std::vector<BadCase> out;
  auto add = [&](const char* what, auto change) {
    ai::Tree t = chain();
    change(t);
    out.push_back({what, t});
  };
  add("no leaves", [](ai::Tree& t) { t = ai::Tree{}; });
  add("negative leaf count", [](ai::Tree& t) { t.num_leaves = -3; });
  add("leaf count past leaf values", [](ai::Tree& t) { t.num_leaves = 5; });
  add("huge leaf count", [](ai::Tree& t) { t.num_leaves = 2147483647; });
  add("leaf value missing", [](ai::Tree& t) { t.leaf_value.pop_back(); });
  add("node array short", [](ai::Tree& t) { t.threshold.pop_back(); });
  add("negative split feature", [](ai::Tree& t) { t.split_feature[1] = -1; });
  add("split feature past max_feature_idx", [](ai::Tree& t) { t.split_feature[2] = 4; });
  add("child past the internal nodes", [](ai::Tree& t) { t.right_child[1] = 3; });
  add("leaf reference past the leaves", [](ai::Tree& t) { t.left_child[0] = ~4; });
  add("child pointing back to the root", [](ai::Tree& t) { t.right_child[2] = 0; });
  add("child pointing to itself", [](ai::Tree& t) { t.right_child[1] = 1; });
  add("child pointing back up", [](ai::Tree& t) { t.right_child[2] = 1; });
  add("node with two parents", [](ai::Tree& t) { t.left_child[0] = 2; });
  add("both children the same node", [](ai::Tree& t) {
    t.left_child[1] = 2;
    t.right_child[1] = 2;
  });
  add("category set index past boundaries", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = 2;
    t.cat_boundaries = {0, 1, 2};
    t.cat_threshold = {1, 1};
  });
  add("category set past the bitsets", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = 0;
    t.cat_boundaries = {0, 3};
    t.cat_threshold = {1, 1};
  });
  add("category set with negative start", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = 0;
    t.cat_boundaries = {-4, 1};
    t.cat_threshold = {1};
  });
  add("category set starting after its end", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = 0;
    t.cat_boundaries = {2, 1};
    t.cat_threshold = {1, 1};
  });
  add("negative category set index", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = -1;
    t.cat_boundaries = {0, 1};
    t.cat_threshold = {1};
  });
  add("NaN category set index", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = kNaN;
    t.cat_boundaries = {0, 1};
    t.cat_threshold = {1};
  });
  add("huge category set index", [](ai::Tree& t) {
    t.decision_type[0] = kCat;
    t.threshold[0] = 1e300;
    t.cat_boundaries = {0, 1};
    t.cat_threshold = {1};
  });
  return out;
}

TEST(ModelValidity, InvalidTreesAreRefusedInBothFormats) {
  test::TempDir dir;
  ASSERT_TRUE(model_of({chain()}).validate());
  int n = 0;
  for (const BadCase& c : bad_trees()) {
    SCOPED_TRACE(c.what);
    const ai::Model m = model_of({leaf(1.0), c.tree});
    EXPECT_FALSE(m.validate());
    const BothFormats both = load_both(dir, m, "bad" + std::to_string(n++));
    EXPECT_FALSE(both.binary_ok);
    EXPECT_EQ(both.binary_error, "corrupt model file " + both.binary_path);
    EXPECT_FALSE(both.text_ok);
    EXPECT_EQ(both.text_error, "bad last tree");
    EXPECT_TRUE(both.binary.trees.empty());
  }
}

TEST(ModelValidity, TextErrorsNameTheTreeLine) {
  test::TempDir dir;
  ai::Tree bad = chain();
  bad.right_child[2] = 0;
  std::string text;
  ASSERT_TRUE(ai::write_model_text(model_of({leaf(1), bad, leaf(2)}), text));
  ai::Model m;
  std::string error;
  EXPECT_FALSE(m.load(dir.write("m.txt", text), &error));
  EXPECT_EQ(error, "bad tree before Tree=2");
  ASSERT_TRUE(ai::write_model_text(model_of({leaf(1), bad}), text));
  EXPECT_FALSE(m.load(dir.write("m.txt", text), &error));
  EXPECT_EQ(error, "bad last tree");
}

// ---- binary format ---------------------------------------------------------

std::string u32le(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

TEST(ModelBinary, MalformedFilesAreCorrupt) {
  test::TempDir dir;
  const std::string magic(ai::kBinaryMagic, 8);
  const std::string good = ai::write_model_binary(model_of({chain(), leaf(2)}));
  ai::Model ok;
  ASSERT_TRUE(ok.load(dir.write("good.avm", good)));
  // Header up to the tree count: name "", objective "", sigmoid, max idx, classes, average.
  const std::string header = magic + u32le(0) + u32le(0) + std::string(8, '\0') + u32le(3) + u32le(1) + std::string(1, '\0');
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"exactly the magic", magic},
      {"magic and a short name length", magic + "\x05"},
      {"name length past the end", magic + u32le(0xFFFFFFFFu) + "abc"},
      {"zero trees", header + u32le(0)},
      {"tree count without trees", header + u32le(0xFFFFFFFFu)},
      {"huge array count", header + u32le(1) + u32le(2) + u32le(0xFFFFFFFFu) + std::string(64, '\0')},
      {"truncated by one byte", good.substr(0, good.size() - 1)},
      {"truncated in the middle", good.substr(0, good.size() / 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.write("bad.avm", c.bytes);
    ai::Model m;
    std::string error;
    EXPECT_FALSE(m.load(path, &error));
    EXPECT_EQ(error, "corrupt model file " + path);
  }
}

TEST(ModelBinary, FieldsRoundTripAndTrailingBytesAreIgnored) {
  test::TempDir dir;
  ai::Model m = model_of({cat_stump(1), chain()}, "binary sigmoid:0.5", 7);
  m.name = "win64 detector";
  m.num_class = 1;
  m.average_output = true;
  ai::Model back;
  ASSERT_TRUE(back.load(dir.write("m.avm", ai::write_model_binary(m) + "trailing junk")));
  EXPECT_EQ(back.name, "win64 detector");
  EXPECT_EQ(back.objective, "binary sigmoid:0.5");
  EXPECT_EQ(back.sigmoid, 0.5);
  EXPECT_EQ(back.max_feature_idx, 7);
  EXPECT_TRUE(back.average_output);
  ASSERT_EQ(back.trees.size(), 2u);
  EXPECT_EQ(back.trees[0].cat_threshold, m.trees[0].cat_threshold);
  EXPECT_EQ(back.trees[1].right_child, m.trees[1].right_child);
}

TEST(ModelLoad, MissingFileCannotBeOpened) {
  test::TempDir dir;
  ai::Model m;
  std::string error;
  EXPECT_FALSE(m.load(dir.file("absent.avm"), &error));
  EXPECT_EQ(error, "cannot open " + dir.file("absent.avm"));
  EXPECT_FALSE(m.load(dir.path(), &error));
  EXPECT_EQ(error, "cannot open " + dir.path());
}

// ---- text format -----------------------------------------------------------

const char* const kStumpTree =
    "Tree=0\n"
    "num_leaves=2\n"
    "split_feature=1\n"
    "threshold=0.5\n"
    "decision_type=0\n"
    "left_child=-1\n"
    "right_child=-2\n"
    "leaf_value=-1 1\n";

struct TextCase {
  const char* what;
  std::string text;
  bool ok;
  std::string error;   // when !ok
  std::size_t trees;   // when ok
  double at_zero;      // prediction with all features 0, when ok
};

TEST(ModelText, TableOfTextModels) {
  const std::string head = "tree\nversion=v4\nmax_feature_idx=3\nobjective=regression\n\n";
  const std::vector<TextCase> cases = {
      {"plain stump", head + kStumpTree + "end of trees\n", true, "", 1, -1},
      {"CRLF lines", "max_feature_idx=3\r\nobjective=regression\r\nTree=0\r\nnum_leaves=1\r\nleaf_value=7\r\nend of trees\r\n", true, "", 1, 7},
      {"no max_feature_idx fails the first split tree", "objective=regression\n" + std::string(kStumpTree) + "end of trees\n", false, "bad last tree", 0, 0},
      {"no max_feature_idx is fine for a leaf", "Tree=0\nnum_leaves=1\nleaf_value=2\nend of trees\n", true, "", 1, 2},
      {"is_linear=1 is refused", head + kStumpTree + "is_linear=1\nend of trees\n", false, "bad last tree", 0, 0},
      {"is_linear=0 is fine", head + kStumpTree + "is_linear=0\nend of trees\n", true, "", 1, -1},
      {"missing end of trees drops the open tree",
       head + "Tree=0\nnum_leaves=1\nleaf_value=3\n\nTree=1\nnum_leaves=1\nleaf_value=100\n", true, "", 1, 3},
      {"a single tree without end of trees", head + kStumpTree, false, "no trees", 0, 0},
      {"only a header", head, false, "no trees", 0, 0},
      {"empty file", "", false, "no trees", 0, 0},
      {"nothing after end of trees is read", head + "Tree=0\nnum_leaves=1\nleaf_value=3\nend of trees\nTree=1\ngarbage", true, "", 1, 3},
      {"a later key replaces an earlier one", head + "Tree=0\nnum_leaves=1\nleaf_value=3\nleaf_value=4\nend of trees\n", true, "", 1, 4},
      {"lines without = inside a tree are ignored", head + "Tree=0\nnum_leaves=1\nnoise line\nleaf_value=4\nend of trees\n", true, "", 1, 4},
      {"unparsable threshold", head + "Tree=0\nnum_leaves=2\nsplit_feature=1\nthreshold=0.5x\ndecision_type=0\nleft_child=-1\nright_child=-2\nleaf_value=1 2\nend of trees\n", false, "bad last tree", 0, 0},
      {"unparsable child", head + "Tree=0\nnum_leaves=2\nsplit_feature=1\nthreshold=0.5\ndecision_type=0\nleft_child=-1.0\nright_child=-2\nleaf_value=1 2\nend of trees\n", false, "bad last tree", 0, 0},
      {"unparsable leaf count", head + "Tree=0\nnum_leaves=two\nleaf_value=1\nend of trees\n", false, "bad last tree", 0, 0},
      {"missing leaf count", head + "Tree=0\nleaf_value=1\nend of trees\n", false, "bad last tree", 0, 0},
      {"inf and nan words", head + "Tree=0\nnum_leaves=2\nsplit_feature=1\nthreshold=inf\ndecision_type=0\nleft_child=-1\nright_child=-2\nleaf_value=-inf nan\nend of trees\n", true, "", 1, -INFINITY},
      {"average_output header line", head + "average_output\nTree=0\nnum_leaves=1\nleaf_value=2\nTree=1\nnum_leaves=1\nleaf_value=4\nend of trees\n", true, "", 2, 3},
      {"category arrays ignored without num_cat",
       head + "Tree=0\nnum_leaves=2\nsplit_feature=0\nthreshold=0\ndecision_type=1\nleft_child=-1\nright_child=-2\nleaf_value=1 2\ncat_boundaries=0 1\ncat_threshold=1\nend of trees\n",
       false, "bad last tree", 0, 0},
      {"category arrays read with num_cat",
       head + "Tree=0\nnum_leaves=2\nnum_cat=1\nsplit_feature=0\nthreshold=0\ndecision_type=1\nleft_child=-1\nright_child=-2\nleaf_value=1 2\ncat_boundaries=0 1\ncat_threshold=1\nend of trees\n",
       true, "", 1, 1},
  };
  test::TempDir dir;
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    ai::Model m;
    std::string error;
    const bool ok = m.load(dir.write("m.txt", c.text), &error);
    ASSERT_EQ(ok, c.ok) << error;
    if (!ok) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    EXPECT_EQ(m.trees.size(), c.trees);
    EXPECT_EQ(m.predict(std::vector<float>(4, 0.0f)), c.at_zero);
  }
}

TEST(ModelText, HeaderFields) {
  test::TempDir dir;
  ai::Model m;
  ASSERT_TRUE(m.load(dir.write("m.model",
                               "tree\nobjective=binary sigmoid:2\nmax_feature_idx=2567\nnum_class=1\nfeature_names=a=b\n"
                               "Tree=0\nnum_leaves=1\nleaf_value=0.25\nend of trees\n")));
  EXPECT_EQ(m.objective, "binary sigmoid:2");
  EXPECT_EQ(m.sigmoid, 2.0);
  EXPECT_EQ(m.max_feature_idx, 2567);
  EXPECT_EQ(m.num_class, 1);
  EXPECT_EQ(m.name, "");
  EXPECT_DOUBLE_EQ(m.predict(std::vector<float>(2568, 0.0f)), 1.0 / (1.0 + std::exp(-2.0 * 0.25)));
  ASSERT_TRUE(m.load(dir.write("m.model", "objective=multiclass num_class:3\nnum_class=3\nTree=0\nnum_leaves=1\nleaf_value=1\nend of trees\n")));
  EXPECT_EQ(m.num_class, 3);
  EXPECT_EQ(m.sigmoid, 1.0);
}

TEST(ModelWriter, RefusesWhatTextCannotCarry) {
  std::string out, error;
  ai::Model m = model_of({leaf(1)}, "binary sigmoid:1");
  m.sigmoid = 3.0;
  EXPECT_FALSE(ai::write_model_text(m, out, &error));
  EXPECT_FALSE(error.empty());
  m = model_of({leaf(1)}, "binary\nTree=9");
  EXPECT_FALSE(ai::write_model_text(m, out, &error));
  test::TempDir dir;
  ai::Tree bad = chain();
  bad.left_child[0] = 0;
  EXPECT_FALSE(ai::save_model(model_of({bad}), dir.file("x.avm"), ai::ModelFormat::Binary, &error));
  EXPECT_FALSE(path_exists(dir.file("x.avm")));
  EXPECT_TRUE(ai::save_model(model_of({chain()}), dir.file("x.avm"), ai::ModelFormat::Binary, &error)) << error;
  EXPECT_EQ(ai::format_for_path("a/b.avm"), ai::ModelFormat::Binary);
  EXPECT_EQ(ai::format_for_path("a/b.txt"), ai::ModelFormat::Text);
}

}  // namespace
