#include "ai/detector.h"

#include <algorithm>
#include <cstring>

#include "ai/model.h"

namespace ai {
namespace {

struct Taken {
  std::string name;   // file name with extension
  bool binary = false;
};

// The name without its last extension; a leading dot alone is no extension.
std::string stem_of(const std::string& name, std::string* extension) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    extension->clear();
    return name;
  }
  *extension = name.substr(dot);
  return name.substr(0, dot);
}

bool is_alnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Bytes worth scoring: PE, ELF and ZIP by their magic, PDF by its marker in
// the first 1024 bytes.
bool worth_examining(ByteSpan b) {
  if (b.size() >= 4) {
    if (b[0] == 'M' && b[1] == 'Z') return true;
    if (b[0] == 0x7F && b[1] == 'E' && b[2] == 'L' && b[3] == 'F') return true;
    if (b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4) return true;
  }
  if (b.size() < 5) return false;
  const ByteSpan head = b.first(std::min<std::size_t>(b.size(), 1024));
  return ::memmem(head.data(), head.size(), "%PDF-", 5) != nullptr;
}

}  // namespace

std::vector<std::string> model_kinds(const std::string& stem) {
  std::vector<std::string> tokens;
  std::string token;
  for (std::size_t i = 0; i <= stem.size(); ++i) {
    if (i < stem.size() && is_alnum(stem[i])) {
      const char c = stem[i];
      token.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
    } else if (!token.empty()) {
      tokens.push_back(token);
      token.clear();
    }
  }
  for (const std::string& t : tokens) {
    for (const char* other : {"family", "behavior", "behaviour", "property", "packer", "exploit", "group", "tags", "tag"}) {
      if (t == other) return {};
    }
  }
  std::vector<std::string> kinds;
  for (const std::string& t : tokens) {
    if (t == "win32") kinds.push_back("Win32");
    else if (t == "win64") kinds.push_back("Win64");
    else if (t == "dotnet" || t == "net") kinds.push_back(".NET");
    else if (t == "apk" || t == "android") kinds.push_back("APK");
    else if (t == "elf" || t == "linux") kinds.push_back("ELF");
    else if (t == "pdf") kinds.push_back("PDF");
    else if (t == "pe") kinds.push_back("PE");
    else if (t == "all" || t == "combined" || t == "general") kinds.push_back("all");
  }
  std::sort(kinds.begin(), kinds.end());
  kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
  return kinds;
}

Detector::Detector() = default;
Detector::~Detector() = default;

int Detector::load(const NativePath& folder, std::string* log) {
  models_.clear();
  kind_models_.clear();
  pe_model_.reset();
  general_model_.reset();
  auto note = [&](const std::string& line) {
    if (log) *log += line + "\n";
  };

  std::vector<DirEntry> entries;
  FileStatus st;
  if (!file_status(folder, st, /*follow=*/true) || !st.directory || !list_directory(folder, entries)) {
    note("no model folder: " + from_native(folder));
    return 0;
  }

  // One file per stem: ".avm" always wins; ".model" or ".txt" only when the
  // stem has nothing yet (so between those two the directory order decides).
  std::map<std::string, Taken> taken;
  for (const DirEntry& e : entries) {
    if (!e.regular) continue;
    std::string ext;
    const std::string stem = stem_of(e.name, &ext);
    if (ext == ".avm") {
      taken[stem] = Taken{e.name, true};
    } else if ((ext == ".model" || ext == ".txt") && taken.find(stem) == taken.end()) {
      taken[stem] = Taken{e.name, false};
    }
  }

  for (const auto& [stem, file] : taken) {
    const std::vector<std::string> kinds = model_kinds(stem);
    if (kinds.empty()) {
      note("skipped " + file.name + " (not a detection model)");
      continue;
    }
    auto model = std::make_shared<Model>();
    std::string error;
    if (!model->load(join_path(folder, file.name), &error)) {
      note("failed " + file.name + ": " + error);
      continue;
    }
    if (model->num_class != 1 || !is_binary_objective(model->objective)) {
      note("skipped " + file.name + " (objective " + model->objective + ")");
      continue;
    }
    if (model->name.empty()) model->name = stem;
    models_.push_back(model);
    std::string joined;
    for (const std::string& k : kinds) {
      if (k == "all") {
        if (!general_model_) general_model_ = model;
      } else if (k == "PE") {
        if (!pe_model_) pe_model_ = model;
      } else {
        kind_models_.emplace(k, model);  // keeps the first model for a kind
      }
      if (!joined.empty()) joined += ",";
      joined += k;
    }
    note("loaded " + model->name + " [" + joined + "] trees=" + std::to_string(model->trees.size()));
  }
  return static_cast<int>(models_.size());
}

DetectorResult Detector::score(ByteSpan bytes) const {
  DetectorResult result;
  if (!worth_examining(bytes)) return result;
  const std::vector<float> features = ember::extract_features(bytes, &result.info);
  const int kind = static_cast<int>(result.info.kind);
  if (kind < 1 || kind > 6) return result;
  std::shared_ptr<Model> model;
  const auto it = kind_models_.find(ember::file_kind_name(result.info.kind));
  if (it != kind_models_.end()) {
    model = it->second;
  } else if (result.info.is_pe && pe_model_) {
    model = pe_model_;
  } else {
    model = general_model_;
  }
  if (!model || model->max_feature_idx >= static_cast<std::int64_t>(features.size())) return result;
  result.valid = true;
  result.score = model->predict(features);
  result.model = model->name;
  return result;
}

std::vector<std::string> Detector::model_names() const {
  std::vector<std::string> names;
  names.reserve(models_.size());
  for (const auto& m : models_) names.push_back(m->name);
  return names;
}

bool Detector::ready() const { return !kind_models_.empty() || general_model_ != nullptr; }

}  // namespace ai
