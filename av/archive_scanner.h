// Recursive inspection of ZIP archives held in memory, within the entry, size,
// total and depth limits of ScanOptions and one shared ExtractionBudget.
//
// Every member is scanned with Scanner::scan_buffer at depth + 1 under its
// stored name. A malware member decides the archive (no further member is
// visited); the first suspicious member is adopted unless the archive already
// is suspicious; the adopted member's path goes into `inner` (nested members
// joined by "!") and the detail reads "Inside archive: <inner> — <detail>".
// Anything that keeps a member from being seen — limits, encryption,
// unsupported methods, damage, a member's own error — sets `incomplete` and,
// on an otherwise clean archive, turns it into an error naming the first
// problem. At most one member is held in memory per nesting level, never
// larger than max_member_bytes, and never by a size the archive only claims
// beyond that limit. Nothing is thrown.
#pragma once

#include "av/scan_options.h"
#include "av/scan_result.h"
#include "platform/bytes.h"

namespace av {

class Scanner;

// True when the bytes begin with a ZIP signature ("PK" and 03 04, 05 06 or 07 08).
bool looks_like_zip(ByteSpan bytes);

// Scans every member of the archive `bytes` with scanner.scan_buffer at
// depth + 1 and merges the outcome into `parent`. Does nothing when archive
// scanning is off or the bytes do not look like a ZIP.
void inspect_zip(const Scanner& scanner, ByteSpan bytes, ScanResult& parent, const ScanOptions& options,
                 ExtractionBudget& budget, int depth);

}  // namespace av
