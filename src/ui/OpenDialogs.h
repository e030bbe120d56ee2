#pragma once

#include <string>

// Closes every dialog open, the innermost first, as Escape would: a stop signal waits for no
// operator's answer.
void CloseOpenDialogs();

// What stops a window mode before its window opens, in an error box: a user who started it
// from a menu sees no stderr. REQUIRES: a QApplication.
void ShowStartError(const std::string& error);
