#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "ai/detector.h"
#include "ai/model.h"
#include "ai/model_writer.h"
#include "support/test_support.h"

namespace {

// A model with numerical, missing-value and categorical nodes over the whole
// feature vector, so that real files reach many different leaves.
ai::Model mixed_model() {
  ai::Model m;
  m.objective = "binary sigmoid:1.5";
  m.sigmoid = 1.5;
  m.max_feature_idx = 2567;
  std::mt19937 rng(7);
  for (int t = 0; t < 40; ++t) {
    ai::Tree tree;
    tree.num_leaves = 8;
    // A complete tree of depth 3: node i has children 2i+1 and 2i+2, leaves below 3.
    for (int i = 0; i < 7; ++i) {
      const int feature = static_cast<int>(rng() % 700);
      const bool categorical = rng() % 5 == 0;
      tree.split_feature.push_back(categorical ? 3 + static_cast<int>(rng() % 4) : feature);
      tree.threshold.push_back(categorical ? 0.0 : static_cast<double>(rng() % 1000) / 1000.0);
      tree.decision_type.push_back(ai::make_decision_type(categorical, rng() % 2, static_cast<std::uint8_t>(rng() % 3)));
      const auto child = [&](int c) { return c < 7 ? c : ~(c - 7); };
      tree.left_child.push_back(child(2 * i + 1));
      tree.right_child.push_back(child(2 * i + 2));
    }
    for (int l = 0; l < 8; ++l) tree.leaf_value.push_back((static_cast<double>(rng() % 2001) - 1000.0) / 3000.0);
    tree.cat_boundaries = {0, 8};
    for (int w = 0; w < 8; ++w) tree.cat_threshold.push_back(static_cast<std::uint32_t>(rng()));
    m.trees.push_back(tree);
  }
  return m;
}

TEST(ModelConverter, OneModelInBothFormatsScoresIdentically) {
  test::TempDir dir;
  const ai::Model m = mixed_model();
  std::string error;
  ASSERT_TRUE(ai::save_model(m, dir.file("src.avm"), ai::ModelFormat::Binary, &error)) << error;

  // Binary -> text -> binary with the tool.
  ASSERT_TRUE(create_directories(dir.file("text")));
  ASSERT_TRUE(create_directories(dir.file("bin")));
  test::RunResult r = test::run({KAV_MODEL_CONVERTER, dir.file("src.avm"), dir.file("text/general.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = test::run({KAV_MODEL_CONVERTER, dir.file("text/general.txt"), dir.file("bin/general.avm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_whole_file(dir.file("bin/general.avm")), read_whole_file(dir.file("src.avm")));

  // The two folders give the same detector scores, bit for bit, on real inputs.
  ai::Detector text, binary;
  ASSERT_EQ(text.load(dir.file("text")), 1);
  ASSERT_EQ(binary.load(dir.file("bin")), 1);
  std::mt19937 rng(99);
  int distinct = 0;
  double first = -1;
  for (int i = 0; i < 200; ++i) {
    std::string bytes = i % 2 ? std::string("\x7f" "ELF", 4) : std::string("%PDF-1.5\n");
    const std::size_t n = 16 + rng() % 6000;
    for (std::size_t k = 0; k < n; ++k) bytes.push_back(static_cast<char>(i % 3 ? rng() % 256 : 32 + rng() % 95));
    const ai::DetectorResult a = text.score(as_bytes(bytes)), b = binary.score(as_bytes(bytes));
    ASSERT_TRUE(a.valid && b.valid);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.score), std::bit_cast<std::uint64_t>(b.score)) << i;
    if (i == 0) first = a.score;
    distinct += a.score != first;
  }
  EXPECT_GT(distinct, 20);  // the inputs exercise the trees, not one path
}

TEST(ModelConverter, RefusesInvalidInputAndBadUsage) {
  test::TempDir dir;
  const std::string bad = dir.write("bad.avm", std::string(ai::kBinaryMagic, 8));
  test::RunResult r = test::run({KAV_MODEL_CONVERTER, bad, dir.file("out.txt")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "corrupt model file " + bad + "\n");
  EXPECT_FALSE(path_exists(dir.file("out.txt")));
  EXPECT_EQ(test::run({KAV_MODEL_CONVERTER, bad}).status, 2);
  // A text model converted to binary keeps an explicit name.
  const std::string txt = dir.write("m.txt", "objective=binary sigmoid:1\nmax_feature_idx=0\nTree=0\nnum_leaves=1\nleaf_value=2\nend of trees\n");
  r = test::run({KAV_MODEL_CONVERTER, txt, dir.file("m.avm"), "--name", "Named"});
  ASSERT_EQ(r.status, 0) << r.err;
  ai::Model m;
  ASSERT_TRUE(m.load(dir.file("m.avm")));
  EXPECT_EQ(m.name, "Named");
  EXPECT_EQ(m.trees.size(), 1u);
}

}  // namespace
