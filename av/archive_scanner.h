// Recursive inspection of ZIP archives held in memory, within the entry, size,
// total and depth limits of ScanOptions and one shared ExtractionBudget.
#pragma once

#include "av/scan_options.h"
#include "av/scan_result.h"
#include "platform/bytes.h"

namespace av {

class Scanner;

// True when the bytes begin with a ZIP signature ("PK" and 03 04, 05 06 or 07 08).
bool looks_like_zip(ByteSpan bytes);

// Scans every member of the archive `bytes` with scanner.scan_buffer at
// depth + 1 and merges the outcome into `parent`.
void inspect_zip(const Scanner& scanner, ByteSpan bytes, ScanResult& parent, const ScanOptions& options,
                 ExtractionBudget& budget, int depth);

}  // namespace av
