// Feature extraction throughput on inputs that are not PE (the content
// groups), and prediction speed of a 500-tree, 64-leaf model.
//   feature_extraction_bench [ROUNDS]
// Inputs: 1 MiB and 64 MiB of random bytes, of prose (common words, now and
// then a path, address or URL) and of dense text where every word is one the
// string patterns look for. Each figure is the best of ROUNDS (default 3)
// runs, as CPU time of the thread and as wall time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "ai/model.h"
#include "ember/features.h"

namespace {

// Wall time and this thread's CPU time; on a shared machine the CPU time shows
// the cost of the code itself, the wall time what a caller waited.
struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_now();
  static double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  double wall_seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
  double cpu_seconds() const { return cpu_now() - cpu; }
};

std::string random_bytes(std::size_t n, std::mt19937_64& rng) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t v = rng();
    for (int k = 0; k < 8; ++k) s[i + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

// Prose: common words, with one of the dense tokens below in twenty.
std::string prose_bytes(std::size_t n, std::mt19937_64& rng);

// Dense: every word is one the string patterns look for.
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

std::string prose_bytes(std::size_t n, std::mt19937_64& rng) {
  static const char* const kWords[] = {
      "the", "of", "and", "to", "in", "is", "was", "for", "on", "that", "with", "as", "by", "at", "from", "his", "her",
      "they", "which", "or", "be", "are", "an", "not", "but", "had", "have", "one", "all", "were", "we", "when", "your",
      "can", "said", "there", "use", "each", "she", "how", "their", "will", "up", "other", "about", "out", "many",
      "then", "them", "these", "so", "some", "would", "make", "like", "him", "into", "time", "has", "look", "two",
      "more", "write", "go", "see", "number", "no", "way", "could", "people", "my", "than", "first", "water", "been",
      "call", "who", "its", "now", "find", "long", "down", "day", "did", "come", "made", "may", "part", "over", "new"};
  std::string dense = text_bytes(4096, rng);
  std::string s;
  s.reserve(n + 64);
  while (s.size() < n) {
    if (rng() % 20 == 0) {
      const std::size_t at = rng() % 4000;
      s += dense.substr(at, 24);
    } else {
      s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    }
    s += rng() % 14 == 0 ? ".\n" : " ";
  }
  s.resize(n);
  return s;
}

void bench_extraction(const char* label, const std::string& input, int rounds) {
  double best_wall = 1e30, best_cpu = 1e30;
  float sink = 0;
  for (int r = 0; r < rounds; ++r) {
    const Clock clock;
    const std::vector<float> v = ember::extract_features(as_bytes(input), nullptr);
    best_cpu = std::min(best_cpu, clock.cpu_seconds());
    best_wall = std::min(best_wall, clock.wall_seconds());
    sink += v[519];
  }
  std::printf("extract %-14s %6.1f MiB: %7.1f MB/s CPU time, %7.1f MB/s wall (%.0f strings)\n", label,
              input.size() / 1048576.0, input.size() / best_cpu / 1e6, input.size() / best_wall / 1e6,
              static_cast<double>(sink) / rounds);
}

// Leaf-wise growth as a boosting library does it: split a random leaf until
// there are `leaves` leaves, so depths vary as in trained trees.
// Thresholds are feature values of the sample vectors, so splits divide them.
ai::Tree random_tree(int leaves, std::mt19937_64& rng, const std::vector<std::vector<float>>& samples) {
  ai::Tree t;
  t.num_leaves = leaves;
  struct Ref { int node; bool left; };
  std::vector<Ref> leaf_parent(1, Ref{-1, false});
  for (int node = 0; node < leaves - 1; ++node) {
    const std::size_t pick = rng() % leaf_parent.size();
    const Ref parent = leaf_parent[pick];
    if (parent.node >= 0) (parent.left ? t.left_child : t.right_child)[static_cast<std::size_t>(parent.node)] = node;
    const int feature = static_cast<int>(rng() % 696);
    t.split_feature.push_back(feature);
    t.threshold.push_back(samples[rng() % samples.size()][static_cast<std::size_t>(feature)]);
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
    bench_extraction(("prose " + label).c_str(), prose_bytes(size, rng), rounds);
    bench_extraction(("dense " + label).c_str(), text_bytes(size, rng), rounds);
  }

  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 64; ++i) {
    const std::size_t n = 4096 + 512 * static_cast<std::size_t>(i);
    const std::string input = i % 3 == 0 ? random_bytes(n, rng) : i % 3 == 1 ? prose_bytes(n, rng) : text_bytes(n, rng);
    vectors.push_back(ember::extract_features(as_bytes(input), nullptr));
  }
  ai::Model model;
  model.objective = "binary sigmoid:1";
  model.max_feature_idx = 2567;
  for (int i = 0; i < 500; ++i) model.trees.push_back(random_tree(64, rng, vectors));
  std::string error;
  if (!model.validate(&error)) {
    std::fprintf(stderr, "bench model invalid: %s\n", error.c_str());
    return 1;
  }
  const int predictions = 20000;
  double sum = 0;
  const Clock clock;
  for (int i = 0; i < predictions; ++i) sum += model.predict(vectors[static_cast<std::size_t>(i) % vectors.size()]);
  const double cpu = clock.cpu_seconds(), wall = clock.wall_seconds();
  std::printf("predict 500 trees x 64 leaves: %.2f us per prediction CPU time (%.0f/s), %.2f us wall; mean score %.3f\n",
              cpu / predictions * 1e6, predictions / cpu, wall / predictions * 1e6, sum / predictions);
  return 0;
}
