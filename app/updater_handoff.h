// Offers the program's own updater, "KeltharonUpdater" in the executable's
// folder, the chance to replace the application before it starts. The updater
// is run without a shell and waited for without a time limit; exit code 42
// means it is replacing the application, which must then exit at once.
#pragma once

#include <string>

#include "platform/file_system.h"

// The updater's file name in the executable's folder.
extern const char* const kUpdaterFileName;
// The exit code by which the updater says it is applying an update.
constexpr int kUpdaterTakesOver = 42;

// The executable the updater is told about: the product's fixed file name in
// `exe_dir`, whatever name the running file has been given.
NativePath product_executable_path(const NativePath& exe_dir, const std::string& product);

// Runs `exe_dir`/KeltharonUpdater --product P --version V --executable E when
// that is a regular file (a link, a folder or nothing counts as no updater)
// and returns true only when it exits with 42.
bool launch_updater(const NativePath& exe_dir, const std::string& product, const std::string& version);
