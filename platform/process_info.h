// Facts about the running process.
#pragma once

#include "platform/file_system.h"

NativePath executable_path();   // the running executable's full path
bool is_elevated();             // running with administrative rights (root here)
