#pragma once

#include <string>

// What stops a window mode before its window opens, in an error box: a user who started it
// from a menu sees no stderr. REQUIRES: a QApplication.
void ShowStartError(const std::string& error);
