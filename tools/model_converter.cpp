// Converts a detection model into the other file format.
//
//   model-converter INPUT OUTPUT [--name NAME]
//
// INPUT is any valid model ("AVM1" binary or LightGBM text); OUTPUT receives
// the same trees in the other format, written atomically, and is loaded back
// to check that it predicts exactly what INPUT does. A text model has no name:
// converting to binary stores NAME (default: none, so the model folder uses
// the file stem, as it did for the text file); converting to text drops the
// binary name with a notice. Exit status 0 on success, 1 on failure, 2 on
// wrong usage.
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ai/model.h"
#include "ai/model_writer.h"
#include "platform/file_system.h"

namespace {

// Feature vectors that reach many leaves: zeros, NaNs, small categories and
// random values around the thresholds the trees use.
std::vector<std::vector<float>> probe_vectors(const ai::Model& m) {
  const std::size_t n = static_cast<std::size_t>(m.max_feature_idx + 1);
  std::vector<double> thresholds;
  for (const ai::Tree& t : m.trees) thresholds.insert(thresholds.end(), t.threshold.begin(), t.threshold.end());
  if (thresholds.empty()) thresholds.push_back(0.0);
  std::mt19937 rng(12345);
  std::vector<std::vector<float>> out;
  out.emplace_back(n, 0.0f);
  out.emplace_back(n, std::numeric_limits<float>::quiet_NaN());
  for (int i = 0; i < 64; ++i) {
    std::vector<float> v(n);
    for (float& x : v) {
      const double t = thresholds[rng() % thresholds.size()];
      switch (rng() % 4) {
        case 0: x = static_cast<float>(t); break;
        case 1: x = static_cast<float>(t + (static_cast<double>(rng() % 2001) - 1000.0) / 100.0); break;
        case 2: x = static_cast<float>(rng() % 70); break;
        default: x = 0.0f;
      }
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  bool have_name = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
      name = argv[++i];
      have_name = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 2) {
    std::fputs("usage: model-converter INPUT OUTPUT [--name NAME]\n", stderr);
    return 2;
  }
  ai::Model model;
  std::string error;
  if (!model.load(args[0], &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const bool input_binary = read_whole_file(args[0]).compare(0, 8, std::string(ai::kBinaryMagic, 8)) == 0;
  const ai::ModelFormat format = input_binary ? ai::ModelFormat::Text : ai::ModelFormat::Binary;
  if (format == ai::ModelFormat::Binary) {
    model.name = have_name ? name : std::string();
  } else {
    if (!model.name.empty()) std::fprintf(stderr, "note: the text format has no name; \"%s\" is dropped\n", model.name.c_str());
    if (have_name) std::fputs("note: --name only applies to binary output\n", stderr);
  }
  if (!ai::save_model(model, args[1], format, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ai::Model back;
  if (!back.load(args[1], &error)) {
    std::fprintf(stderr, "written model does not load: %s\n", error.c_str());
    return 1;
  }
  // Models over very wide vectors are checked by reloading only.
  const bool probe = model.max_feature_idx < (1 << 20);
  for (const std::vector<float>& x : probe ? probe_vectors(model) : std::vector<std::vector<float>>{}) {
    const double a = model.predict(x), b = back.predict(x);
    if (std::memcmp(&a, &b, sizeof a) != 0 && !(a != a && b != b)) {
      std::fprintf(stderr, "written model predicts %.17g instead of %.17g\n", b, a);
      return 1;
    }
  }
  std::printf("wrote %s (%s, %zu trees)\n", args[1].c_str(), format == ai::ModelFormat::Binary ? "binary" : "text",
              model.trees.size());
  return 0;
}
