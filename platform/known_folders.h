// The user's well-known folders. An empty path means the platform has none.
#pragma once

#include "platform/file_system.h"

enum class KnownFolder { RoamingAppData, LocalAppData, Profile, Temp, Downloads };

NativePath known_folder_path(KnownFolder folder);
