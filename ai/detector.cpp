#include "ai/detector.h"

#include "ai/model.h"

namespace ai {

Detector::Detector() = default;
Detector::~Detector() = default;

// Placeholder until the model formats land: no model is ever loaded.
int Detector::load(const NativePath& folder, std::string* log) {
  models_.clear();
  kind_models_.clear();
  pe_model_.reset();
  general_model_.reset();
  if (log) *log += "no model folder: " + from_native(folder) + "\n";
  return 0;
}

DetectorResult Detector::score(ByteSpan) const { return DetectorResult{}; }

std::vector<std::string> Detector::model_names() const { return {}; }

bool Detector::ready() const { return !kind_models_.empty() || general_model_ != nullptr; }

}  // namespace ai
