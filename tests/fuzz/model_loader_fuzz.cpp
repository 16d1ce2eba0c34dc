// Model loader under arbitrary bytes (both formats, chosen by the magic): it
// must refuse or accept without reading out of bounds or looping, every
// accepted model must pass the validity rules, evaluate in bounded time, and
// survive a round trip through the writer with identical predictions.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "ai/model.h"
#include "ai/model_writer.h"

namespace {

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ai::Model m;
  std::string error;
  if (!m.load_bytes(ByteSpan(data, size), "fuzz", &error)) {
    if (error.empty()) __builtin_trap();  // every refusal carries its reason
    return 0;
  }
  if (!m.validate()) __builtin_trap();
  if (m.max_feature_idx >= (1 << 20)) return 0;
  // Feature values drawn from the input: NaN, zero, the zero band, categories, thresholds.
  const std::size_t n = m.max_feature_idx < 0 ? 0 : static_cast<std::size_t>(m.max_feature_idx) + 1;
  static const float kValues[] = {0.0f, std::numeric_limits<float>::quiet_NaN(), 1e-36f, -1e-36f, 1.0f, -1.0f,
                                  5.0f, 31.0f, 32.0f, 40.0f, 1e30f, -1e30f, 0.5f, 255.0f, 3e38f, -0.5f};
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = kValues[size ? data[i % size] % 16 : 0];
  const double p = m.predict(x);

  ai::Model back;
  if (!back.load_bytes(as_bytes(ai::write_model_binary(m)), "binary", &error)) __builtin_trap();
  if (!same(back.predict(x), p)) __builtin_trap();
  std::string text;
  if (ai::write_model_text(m, text)) {
    if (!back.load_bytes(as_bytes(text), "text", &error)) __builtin_trap();
    if (!same(back.predict(x), p)) __builtin_trap();
  }
  return 0;
}
