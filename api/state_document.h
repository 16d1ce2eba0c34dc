// The one JSON object that reports on the running application as the page
// sees it, built afresh on every call: "elevated", "platform", "protection",
// "server", "settings", "settings_persistence", "updates", "version".
#pragma once

#include "platform/json_text.h"

class ProtectionController;

// The platform the page is told it runs on.
extern const char* const kPlatformName;  // "linux"

Json state_document(const ProtectionController& controller);
