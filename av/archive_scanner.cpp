#include "av/archive_scanner.h"

namespace av {

bool looks_like_zip(ByteSpan b) {
  return b.size() >= 4 && b[0] == 'P' && b[1] == 'K' &&
         ((b[2] == 3 && b[3] == 4) || (b[2] == 5 && b[3] == 6) || (b[2] == 7 && b[3] == 8));
}

// Placeholder until the archive reader lands: archives are not opened.
void inspect_zip(const Scanner&, ByteSpan, ScanResult&, const ScanOptions&, ExtractionBudget&, int) {}

}  // namespace av
