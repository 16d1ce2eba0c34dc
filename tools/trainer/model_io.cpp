#include "tools/trainer/model_io.h"

namespace trainer {

std::string write_avm(const TreeModel& m) { return encode_avm(m); }
std::string write_text(const TreeModel& m) { return encode_text(m); }

struct LoadedModel::Impl {};

LoadedModel::LoadedModel() = default;
LoadedModel::~LoadedModel() = default;

bool LoadedModel::load(const std::string& path, std::string* error) {
  if (error) *error = "cannot read " + path + ": the model reader is not built in";
  return false;
}

double LoadedModel::predict(const std::vector<float>&) const { return 0.0; }

}  // namespace trainer
