// Writes an ai::Model held in memory in either file format, so that
// Model::load of the written bytes gives a model that predicts exactly the
// same values (doubles are written as shortest round-trip text).
//
// The text format cannot carry everything: it has no model name (the set
// loader takes the file stem), takes `sigmoid` from the objective's
// "sigmoid:" number, and is line based. Such cases are refused, never written
// lossily.
#pragma once

#include <string>

#include "ai/model.h"
#include "platform/file_system.h"

namespace ai {

enum class ModelFormat { Binary, Text };

// The "AVM1" encoding of `model`, field by field (no validation).
std::string write_model_binary(const Model& model);

// The LightGBM text subset. False with a reason when the text format would
// not reload to the same predictions: the objective holds a line break, or
// a binary objective whose `sigmoid` differs from what the objective implies
// (sigmoid_from_objective).
bool write_model_text(const Model& model, std::string& out, std::string* error = nullptr);

// Validates `model` (Model::validate), encodes it and writes it atomically to
// `path`. False with a reason on an invalid model, an unrepresentable one, or
// a failed write.
bool save_model(const Model& model, const NativePath& path, ModelFormat format, std::string* error = nullptr);

// The format a file name asks for: ".avm" is binary, anything else text.
ModelFormat format_for_path(const NativePath& path);

}  // namespace ai
