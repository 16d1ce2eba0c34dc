// Feature extraction throughput on inputs that are not PE (the content
// groups), and prediction speed of a 500-tree, 64-leaf model.
//   feature_extraction_bench [ROUNDS]
// Inputs: 1 MiB and 64 MiB of random bytes, and of text (printable lines with
// words, paths, addresses and URLs, so the string matcher is busy). Each
// figure is the best of ROUNDS (default 3) runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ai/model.h"
#include "ember/features.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string random_bytes(std::size_t n, std::mt19937_64& rng) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t v = rng();
    for (int k = 0; k < 8; ++k) s[i + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

std::string text_bytes(std::size_t n, std::mt19937_64& rng) {
  static const char* const kWords[] = {
      "the", "process", "C:/Windows/System32", "http://example.com/a", "10.0.0.1", "fe80::1", "HKEY_LOCAL_MACHINE",
      "password", "cookie", "aa:bb:cc:dd:ee:ff", "powershell", "Invoke-Expression", "thread", "window", "data",
      "1A1zP1eP5QGefi2DMPTfTL5SLmv7Divf", "value", "function", "return", "GET /index.html", "module", "service"};
  std::string s;
  s.reserve(n + 64);
  while (s.size() < n) {
    s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    s += rng() % 12 == 0 ? '\n' : ' ';
  }
  s.resize(n);
  return s;
}

void bench_extraction(const char* label, const std::string& input, int rounds) {
  double best = 1e30;
  float sink = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::vector<float> v = ember::extract_features(as_bytes(input), nullptr);
    best = std::min(best, seconds_since(t0));
    sink += v[519];
  }
  std::printf("extract %-16s %8.1f MiB  %8.1f MB/s  (%.2f ms, %.0f strings)\n", label, input.size() / 1048576.0,
              input.size() / best / 1e6, best * 1e3, static_cast<double>(sink) / rounds);
}

// Leaf-wise growth as a boosting library does it: split a random leaf until
// there are `leaves` leaves, so depths vary as in trained trees.
ai::Tree random_tree(int leaves, std::mt19937_64& rng) {
  ai::Tree t;
  t.num_leaves = leaves;
  struct Ref { int node; bool left; };
  std::vector<Ref> leaf_parent(1, Ref{-1, false});
  for (int node = 0; node < leaves - 1; ++node) {
    const std::size_t pick = rng() % leaf_parent.size();
    const Ref parent = leaf_parent[pick];
    if (parent.node >= 0) (parent.left ? t.left_child : t.right_child)[static_cast<std::size_t>(parent.node)] = node;
    t.split_feature.push_back(static_cast<int>(rng() % 696));
    t.threshold.push_back(static_cast<double>(rng() % 1000) / 1000.0);
    t.decision_type.push_back(ai::make_decision_type(false, rng() % 2, static_cast<std::uint8_t>(rng() % 3)));
    t.left_child.push_back(0);
    t.right_child.push_back(0);
    leaf_parent[pick] = Ref{node, true};
    leaf_parent.push_back(Ref{node, false});
  }
  for (std::size_t l = 0; l < leaf_parent.size(); ++l) {
    const Ref r = leaf_parent[l];
    (r.left ? t.left_child : t.right_child)[static_cast<std::size_t>(r.node)] = ~static_cast<int>(l);
    t.leaf_value.push_back(static_cast<double>(rng() % 2001) / 1000.0 - 1.0);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::mt19937_64 rng(42);
  for (const std::size_t size : {std::size_t{1} << 20, std::size_t{64} << 20}) {
    const std::string label = std::to_string(size >> 20) + " MiB";
    bench_extraction(("random " + label).c_str(), random_bytes(size, rng), rounds);
    bench_extraction(("text " + label).c_str(), text_bytes(size, rng), rounds);
  }

  ai::Model model;
  model.objective = "binary sigmoid:1";
  model.max_feature_idx = 2567;
  for (int i = 0; i < 500; ++i) model.trees.push_back(random_tree(64, rng));
  std::string error;
  if (!model.validate(&error)) {
    std::fprintf(stderr, "bench model invalid: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 64; ++i) {
    const std::string input = i % 2 ? random_bytes(4096 + 512 * static_cast<std::size_t>(i), rng) : text_bytes(4096 + 512 * static_cast<std::size_t>(i), rng);
    vectors.push_back(ember::extract_features(as_bytes(input), nullptr));
  }
  const int predictions = 20000;
  double sum = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < predictions; ++i) sum += model.predict(vectors[static_cast<std::size_t>(i) % vectors.size()]);
  const double secs = seconds_since(t0);
  std::printf("predict 500 trees x 64 leaves: %.2f us per prediction, %.0f predictions/s (mean score %.3f)\n",
              secs / predictions * 1e6, predictions / secs, sum / predictions);
  return 0;
}
