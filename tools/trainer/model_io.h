// Model files as the program reads them: the trainer writes through here and
// scores held-out sets through the program's own model reader, so a figure it
// prints is the figure the detector would produce.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/trainer/tree_model.h"

namespace trainer {

std::string write_avm(const TreeModel& m);
std::string write_text(const TreeModel& m);

class LoadedModel {
 public:
  LoadedModel();
  ~LoadedModel();
  bool load(const std::string& path, std::string* error);
  double predict(const std::vector<float>& x) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace trainer
