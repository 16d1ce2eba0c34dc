// Whether a file is exempt from AI detections: signed by a trusted publisher,
// or part of the operating system. Pure queries.
#pragma once

#include <string>

#include "platform/file_system.h"

namespace av {

// True when the file's signature verifies; *publisher then holds the signer's name (may be empty).
bool is_signed_by_trusted_publisher(const NativePath& path, std::string& publisher);
// True when the path lies under an operating-system or program folder.
bool is_operating_system_file(const NativePath& path);

}  // namespace av
