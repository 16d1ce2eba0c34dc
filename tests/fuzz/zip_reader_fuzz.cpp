// The archive reader and the recursive inspection under arbitrary bytes:
// never a crash, never an allocation beyond the member limit, never a budget
// past its limits, and an outcome that is consistent with itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ai/detector.h"
#include "av/archive_scanner.h"
#include "av/scanner.h"
#include "av/zip_reader.h"

namespace {

constexpr std::uint64_t kMemberLimit = 1 << 20;

void read_directly(ByteSpan bytes) {
  av::ZipReader reader;
  if (!reader.open(bytes)) {
    if (reader.member_count() != 0) __builtin_trap();
    return;
  }
  std::vector<std::uint8_t> buffer;
  const std::uint64_t n = reader.member_count();
  for (std::uint64_t i = 0; i < n && i < 64; ++i) {
    av::ZipMember m;
    if (!reader.stat(i, m)) continue;
    if (m.name.size() > av::ZipReader::kMaxNameBytes) __builtin_trap();
    if (m.supported && m.encrypted) __builtin_trap();
    if (!m.supported || m.size > kMemberLimit) continue;
    buffer.resize(static_cast<std::size_t>(m.size));
    reader.extract(i, buffer);
  }
  av::ZipMember m;
  if (reader.stat(n, m)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const av::Scanner scanner(nullptr, std::make_shared<ai::Detector>());
  const ByteSpan bytes(data, size);
  read_directly(bytes);

  av::ScanOptions options;
  options.max_member_bytes = kMemberLimit;
  options.max_total_bytes = 8 << 20;
  options.max_entries = 200;
  av::ScanResult result;
  result.path = "fuzz.zip";
  av::ExtractionBudget budget;
  av::inspect_zip(scanner, bytes, result, options, budget, 0);

  if (budget.entries > static_cast<std::uint64_t>(options.max_entries)) __builtin_trap();
  if (budget.bytes > static_cast<std::uint64_t>(options.max_total_bytes)) __builtin_trap();
  if (!av::looks_like_zip(bytes) && (result.verdict != av::Verdict::Clean || result.incomplete)) __builtin_trap();
  if (result.verdict == av::Verdict::Clean && (result.incomplete || !result.detail.empty())) __builtin_trap();
  if (!result.inner.empty() && !result.is_threat()) __builtin_trap();
  return 0;
}
