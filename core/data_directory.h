// Where the program keeps its state. The data directory is AV_DATA_DIR when
// that is set (even to the empty string, which means the working folder),
// otherwise the roaming application-data folder joined with
// "Keltharon Antivirus". It is resolved and created on first use and cached
// for the life of the process.
#pragma once

#include "platform/file_system.h"

NativePath data_dir();
NativePath executable_dir();
// executable_dir()/models when that is a real folder, else data_dir()/models.
NativePath models_dir();
