// The set of detection models from one model folder, chosen per file kind by
// file name, and the score of a file's bytes. Loaded once before scanning and
// read-only afterwards, so score() may run on many threads at once.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ember/features.h"
#include "platform/bytes.h"
#include "platform/file_system.h"

namespace ai {

class Model;

struct DetectorResult {
  bool valid = false;       // a model was applied and score is meaningful
  double score = 0.0;       // probability of malware, 0 to 1
  std::string model;        // name of the model applied
  ember::FeatureInfo info;  // kind Other when the bytes were not examined
};

// The file kinds a model file's stem names, sorted and without duplicates:
// "Win32", "Win64", ".NET", "APK", "ELF", "PDF", "PE" and "all". Empty when no
// token names a kind or a token marks another task ("family", "tag", ...).
std::vector<std::string> model_kinds(const std::string& stem);

// Model folder rules: regular files ending ".avm", ".model" or ".txt", one per
// stem (".avm" wins), visited in stem order; the first model in that order
// takes each kind slot. Only binary-objective, single-class models are kept.
class Detector {
 public:
  Detector();
  ~Detector();
  // Replaces every model with those of `folder`; appends one line per model
  // file considered to *log. Returns the number of detection models loaded.
  int load(const NativePath& folder, std::string* log = nullptr);
  // Scores PE, ELF and ZIP inputs (by magic, at least 4 bytes) and inputs
  // with "%PDF-" in their first 1024 bytes, with the model for their kind.
  DetectorResult score(ByteSpan bytes) const;
  std::vector<std::string> model_names() const;
  // At least one model for a specific file kind, or a general model.
  bool ready() const;

 private:
  std::vector<std::shared_ptr<Model>> models_;
  std::map<std::string, std::shared_ptr<Model>> kind_models_;
  std::shared_ptr<Model> pe_model_;
  std::shared_ptr<Model> general_model_;
};

}  // namespace ai
