#include "av/archive_scanner.h"

#include <memory>
#include <new>
#include <string>

#include "av/scanner.h"
#include "av/zip_reader.h"

namespace av {
namespace {

const char* const kUnsupported = "encrypted, corrupt, or unsupported member: ";

// Records one problem on the archive's result: always `incomplete`; in the
// detail only when nothing more important is said there already.
void note(ScanResult& parent, const std::string& problem) {
  parent.incomplete = true;
  if (parent.verdict == Verdict::Clean) {
    parent.verdict = Verdict::Error;
    parent.detail = "Archive scan incomplete: " + problem;
  } else if (parent.verdict == Verdict::Suspicious) {
    parent.detail += "; archive scan incomplete: " + problem;
  }
}

// Folds one member's outcome into the archive's; true when the archive is
// decided (a malware member) and no further member needs a look.
bool merge(ScanResult& parent, const ScanResult& member, const std::string& member_name) {
  parent.incomplete = parent.incomplete || member.incomplete;
  const bool adopt = member.verdict == Verdict::Malware ||
                     (member.verdict == Verdict::Suspicious &&
                      (parent.verdict == Verdict::Clean || parent.verdict == Verdict::Error));
  if (adopt) {
    parent.verdict = member.verdict;
    parent.name = member.name;
    parent.ai_score = member.ai_score;
    parent.inner = member.inner.empty() ? member_name : member_name + "!" + member.inner;
    parent.detail = "Inside archive: " + parent.inner + " \u2014 " + member.detail;
    return member.verdict == Verdict::Malware;
  }
  if (member.verdict == Verdict::Error) note(parent, member_name + ": " + member.detail);
  return false;
}

}  // namespace

bool looks_like_zip(ByteSpan b) {
  return b.size() >= 4 && b[0] == 'P' && b[1] == 'K' &&
         ((b[2] == 3 && b[3] == 4) || (b[2] == 5 && b[3] == 6) || (b[2] == 7 && b[3] == 8));
}

void inspect_zip(const Scanner& scanner, ByteSpan bytes, ScanResult& parent, const ScanOptions& options,
                 ExtractionBudget& budget, int depth) {
  if (!options.scan_archives || !looks_like_zip(bytes)) return;
  if (depth >= options.max_depth) {
    note(parent, "nesting limit reached");
    return;
  }
  ZipReader zip;
  if (!zip.open(bytes)) {
    note(parent, "invalid or unsupported ZIP archive");
    return;
  }
  const std::uint64_t count = zip.member_count();
  for (std::uint64_t index = 0; index < count; ++index) {
    if (options.max_entries <= 0 || budget.entries >= static_cast<std::uint64_t>(options.max_entries)) {
      note(parent, "entry limit reached");
      break;
    }
    ++budget.entries;

    ZipMember m;
    if (!zip.stat(index, m)) {
      note(parent, "couldn't read an archive member");
      continue;
    }
    // A directory holds nothing to scan. An entry that is marked as one but
    // declares content is scanned like a file, so the mark cannot hide data.
    if (m.directory && m.size == 0) continue;
    if (!m.supported || (m.compressed_size == 0 && m.size != 0)) {
      note(parent, kUnsupported + m.name);
      continue;
    }
    if (options.max_member_bytes < 0 || m.size > static_cast<std::uint64_t>(options.max_member_bytes)) {
      note(parent, "member exceeds the size limit");
      continue;
    }
    if (options.max_total_bytes < 0) {
      note(parent, "total extraction limit reached");
      continue;
    }
    const std::uint64_t total = static_cast<std::uint64_t>(options.max_total_bytes);
    if (budget.bytes > total || m.size > total - budget.bytes) {
      note(parent, "total extraction limit reached");
      continue;
    }
    // Charged before extracting: a failed extraction still used the budget.
    budget.bytes += m.size;

    // Left uninitialised: pages the member's data never reaches (a declared
    // size larger than the data) are never touched.
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[m.size ? m.size : 1]);
    const std::span<std::uint8_t> buffer(data.get(), data ? static_cast<std::size_t>(m.size) : 0);
    if (!data || !zip.extract(index, buffer)) {
      note(parent, kUnsupported + m.name);
      continue;
    }
    ScanResult member;
    scanner.scan_buffer(buffer, member, options, budget, depth + 1, m.name);
    data.reset();
    if (merge(parent, member, m.name)) break;
  }
}

}  // namespace av
