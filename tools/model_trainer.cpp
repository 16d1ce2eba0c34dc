// model-trainer: builds the detection models from a labelled corpus.
//
//   model-trainer extract (--tree ROOT | --list FILE)... --out FEATURES [--max-size BYTES]
//   model-trainer train --features FEATURES... --kind KIND --name NAME
//                       [--avm OUT.avm] [--text OUT.txt] [--rounds N] [--depth N] [--eta X]
//                       [--subsample X] [--colsample X] [--min-child-weight X] [--seed N]
//   model-trainer eval --features FEATURES... --kind KIND --model FILE [--threshold X] [--show]
//   model-trainer eval-set --models DIR --list FILE [--threshold X] [--show]
//
// extract runs the program's own feature extractor over every file; train
// fits XGBoost on the vectors of one file kind ("Win32", "Win64", ".NET",
// "ELF", "APK", "PDF", "PE" or "all"), converts the trees exactly and writes
// the model files, refusing to write when the converted model's score differs
// from XGBoost's by more than 1e-6 on any training vector; eval scores a
// held-out set with a model file and prints its detection figures; eval-set
// scores the files of a list with the detector over a whole model folder,
// exactly as a scan would (model chosen per file kind), and prints the
// figures per kind and in total.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tools/trainer/feature_set.h"
#include "ai/detector.h"
#include "ai/model.h"
#include "ai/model_writer.h"
#include "tools/trainer/xgb_booster.h"

namespace {

struct Args {
  std::string command;
  std::multimap<std::string, std::string> opts;
  std::vector<std::string> all(const std::string& k) const {
    std::vector<std::string> v;
    auto [a, b] = opts.equal_range(k);
    for (auto it = a; it != b; ++it) v.push_back(it->second);
    return v;
  }
  std::string get(const std::string& k, const std::string& def = "") const {
    auto it = opts.find(k);
    return it == opts.end() ? def : it->second;
  }
  bool has(const std::string& k) const { return opts.count(k) != 0; }
};

int usage() {
  std::fprintf(stderr,
               "usage: model-trainer extract (--tree ROOT | --list FILE)... --out FEATURES [--max-size BYTES]\n"
               "       model-trainer train --features FEATURES... --kind KIND --name NAME [--avm FILE] [--text FILE]\n"
               "                           [--rounds N] [--depth N] [--eta X] [--subsample X] [--colsample X]\n"
               "                           [--min-child-weight X] [--seed N]\n"
               "       model-trainer eval --features FEATURES... --kind KIND --model FILE [--threshold X] [--show]\n"
               "       model-trainer eval-set --models DIR --list FILE [--threshold X] [--show]\n");
  return 2;
}

bool load_all(const Args& a, std::vector<trainer::Sample>& out) {
  for (const std::string& f : a.all("--features")) {
    std::string err;
    if (!trainer::load_samples(f, out, &err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return false;
    }
  }
  return true;
}

int run_extract(const Args& a) {
  std::vector<std::pair<int, std::string>> files;
  for (const std::string& root : a.all("--tree")) trainer::list_labelled_tree(root, files);
  for (const std::string& list : a.all("--list")) {
    std::string err;
    if (!trainer::read_list_file(list, files, &err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
  }
  if (!a.has("--out")) return usage();
  std::size_t skipped = 0;
  auto samples = trainer::extract_samples(files, std::atoll(a.get("--max-size", "67108864").c_str()), &skipped);
  std::string err;
  if (!trainer::save_samples(a.get("--out"), samples, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  std::map<std::string, std::pair<int, int>> per_kind;
  for (const auto& s : samples) (s.label ? per_kind[ember::file_kind_name(s.kind)].second : per_kind[ember::file_kind_name(s.kind)].first)++;
  std::printf("extracted %zu files (%zu skipped) into %s\n", samples.size(), skipped, a.get("--out").c_str());
  for (const auto& [k, c] : per_kind) std::printf("  %-6s benign %d malicious %d\n", k.c_str(), c.first, c.second);
  return 0;
}

int run_train(const Args& a) {
  std::vector<trainer::Sample> samples;
  if (!a.has("--kind") || !a.has("--name") || !load_all(a, samples)) return usage();
  const std::string kind = a.get("--kind");
  trainer::Matrix x;
  x.cols = ember::kFeatureCount;
  std::vector<float> y;
  int benign = 0, malicious = 0;
  for (const auto& s : samples) {
    if (!trainer::kind_matches(kind, s.kind)) continue;
    x.values.insert(x.values.end(), s.features.begin(), s.features.end());
    y.push_back(static_cast<float>(s.label));
    (s.label ? malicious : benign)++;
  }
  if (benign == 0 || malicious == 0) {
    std::fprintf(stderr, "kind %s: need both classes (benign %d, malicious %d)\n", kind.c_str(), benign, malicious);
    return 1;
  }
  trainer::TrainParams p;
  p.rounds = std::atoi(a.get("--rounds", "150").c_str());
  p.max_depth = std::atoi(a.get("--depth", "5").c_str());
  p.eta = std::atof(a.get("--eta", "0.1").c_str());
  p.subsample = std::atof(a.get("--subsample", "0.9").c_str());
  p.colsample = std::atof(a.get("--colsample", "0.5").c_str());
  p.min_child_weight = std::atof(a.get("--min-child-weight", "2").c_str());
  p.seed = std::atoi(a.get("--seed", "1").c_str());
  // Starting from the class prior lets the trees spend their splits on the
  // difference between the classes rather than on their proportion.
  p.base_score = std::min(0.95, std::max(0.05, static_cast<double>(malicious) / (benign + malicious)));
  ai::Model model;
  double diff = 0.0;
  std::string err;
  if (!trainer::train_and_convert(x, y, p, static_cast<int>(ember::kFeatureCount) - 1, a.get("--name"), x, 1e-6,
                                  model, &diff, &err)) {
    std::fprintf(stderr, "kind %s: %s\n", kind.c_str(), err.c_str());
    return 1;
  }
  for (const auto& [opt, format] : {std::pair{"--avm", ai::ModelFormat::Binary}, std::pair{"--text", ai::ModelFormat::Text}}) {
    if (!a.has(opt)) continue;
    if (!ai::save_model(model, to_native(a.get(opt)), format, &err)) {
      std::fprintf(stderr, "%s: %s\n", a.get(opt).c_str(), err.c_str());
      return 1;
    }
    // What was written must be what was checked: reload and compare.
    ai::Model back;
    if (!back.load(to_native(a.get(opt)), &err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
    for (std::size_t r = 0; r < x.rows(); ++r) {
      std::span<const float> row(x.values.data() + r * x.cols, x.cols);
      if (back.predict(row) != model.predict(row)) {
        std::fprintf(stderr, "%s: reloaded model scores row %zu differently\n", a.get(opt).c_str(), r);
        return 1;
      }
    }
  }
  std::printf("trained %s on %d benign + %d malicious vectors: %zu trees, max |converted - xgboost| = %.3g\n",
              a.get("--name").c_str(), benign, malicious, model.trees.size(), diff);
  return 0;
}

int run_eval(const Args& a) {
  std::vector<trainer::Sample> samples;
  if (!a.has("--kind") || !a.has("--model") || !load_all(a, samples)) return usage();
  ai::Model model;
  std::string err;
  if (!model.load(to_native(a.get("--model")), &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  const double threshold = std::atof(a.get("--threshold", "0.8").c_str());
  const std::string kind = a.get("--kind");
  int n[2] = {0, 0}, hit[2] = {0, 0};
  for (const auto& s : samples) {
    if (!trainer::kind_matches(kind, s.kind)) continue;
    double score = model.predict(s.features);
    ++n[s.label];
    if (score >= threshold) {
      ++hit[s.label];
      if (a.has("--show") && s.label == 0) std::printf("  false positive %.4f %s\n", score, s.path.c_str());
    } else if (a.has("--show") && s.label == 1) {
      std::printf("  missed %.4f %s\n", score, s.path.c_str());
    }
  }
  auto pct = [](int k, int total) { return total ? 100.0 * k / total : 0.0; };
  std::printf("%s kind=%s threshold=%.2f benign=%d false_positives=%d (%.3f%%) malicious=%d detected=%d (%.2f%%)\n",
              a.get("--model").c_str(), kind.c_str(), threshold, n[0], hit[0], pct(hit[0], n[0]), n[1], hit[1],
              pct(hit[1], n[1]));
  return 0;
}

int run_eval_set(const Args& a) {
  if (!a.has("--models") || !a.has("--list")) return usage();
  ai::Detector detector;
  std::string log, err;
  detector.load(to_native(a.get("--models")), &log);
  std::fputs(log.c_str(), stdout);
  if (!detector.ready()) {
    std::fprintf(stderr, "no usable model in %s\n", a.get("--models").c_str());
    return 1;
  }
  std::vector<std::pair<int, std::string>> files;
  if (!trainer::read_list_file(a.get("--list"), files, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  const double threshold = std::atof(a.get("--threshold", "0.8").c_str());
  struct Count {
    int n[2] = {0, 0}, hit[2] = {0, 0};
  };
  std::map<std::string, Count> per;  // by model applied; "(none)" when no model was
  for (const auto& [label, path] : files) {
    std::string bytes = read_whole_file(to_native(path));
    const ai::DetectorResult r = detector.score(as_bytes(bytes));
    const std::string key = r.valid ? r.model : "(not scored)";
    for (const std::string& k : {key, std::string("total")}) {
      ++per[k].n[label];
      if (r.valid && r.score >= threshold) ++per[k].hit[label];
    }
    if (a.has("--show") && r.valid && (r.score >= threshold) != (label == 1))
      std::printf("  %s %.4f [%s] %s\n", label ? "missed" : "false positive", r.score, r.model.c_str(), path.c_str());
  }
  auto pct = [](int k, int total) { return total ? 100.0 * k / total : 0.0; };
  for (const auto& [k, c] : per)
    std::printf("%-13s threshold=%.2f benign=%d false_positives=%d (%.3f%%) malicious=%d detected=%d (%.2f%%)\n",
                k.c_str(), threshold, c.n[0], c.hit[0], pct(c.hit[0], c.n[0]), c.n[1], c.hit[1], pct(c.hit[1], c.n[1]));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  Args a;
  a.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string k = argv[i];
    if (k == "--show") {
      a.opts.emplace(k, "1");
      continue;
    }
    if (k.rfind("--", 0) != 0 || i + 1 >= argc) return usage();
    a.opts.emplace(k, argv[++i]);
  }
  if (a.command == "extract") return run_extract(a);
  if (a.command == "train") return run_train(a);
  if (a.command == "eval") return run_eval(a);
  if (a.command == "eval-set") return run_eval_set(a);
  return usage();
}
