// Opens a document, folder or address with the desktop's default application.
// Returns at once; the outcome is not reported.
#pragma once

#include <string>

void open_with_shell(const std::string& target);
