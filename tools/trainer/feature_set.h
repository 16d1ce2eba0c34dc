// Labelled feature vectors extracted from a corpus with the program's own
// extractor, and their cache file (so one extraction serves every model).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ember/features.h"

namespace trainer {

struct Sample {
  std::string path;
  int label = 0;  // 0 benign, 1 malicious
  ember::FileKind kind = ember::FileKind::Other;
  std::vector<float> features;
};

// Files to read: "<label> <path>" lines (label 0 or 1; blank lines and lines
// starting with "#" ignored), or every regular file under root/benign (label
// 0) and root/malicious (label 1).
bool read_list_file(const std::string& list, std::vector<std::pair<int, std::string>>& out, std::string* error);
void list_labelled_tree(const std::string& root, std::vector<std::pair<int, std::string>>& out);

// Extracts each file up to `max_size` bytes (larger and unreadable files are
// skipped and counted in *skipped).
std::vector<Sample> extract_samples(const std::vector<std::pair<int, std::string>>& files, std::int64_t max_size,
                                    std::size_t* skipped);

bool save_samples(const std::string& path, const std::vector<Sample>& samples, std::string* error);
bool load_samples(const std::string& path, std::vector<Sample>& out, std::string* error);

// Whether a sample of `kind` (with the PE flag implied by the kind) belongs to
// the training set of the model kind `model_kind` ("Win32", "Win64", ".NET",
// "ELF", "APK", "PDF", "PE" or "all").
bool kind_matches(const std::string& model_kind, ember::FileKind kind);

}  // namespace trainer
