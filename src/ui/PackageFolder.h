#pragma once

#include <functional>
#include <string>

class QWidget;

// The package folder the operator works with when the program's own folder holds none (an
// installed program): chosen with the standard folder dialog and remembered per user.

// The folder chosen last, ending with "/"; "" when none was.
std::string RememberedPackageFolder();
void RememberPackageFolder(const std::string& dir);

// A folder dialog starting in `start`: the folder chosen, "" when cancelled.
using TFolderDialog = std::function<std::string(QWidget* parent, const std::string& start)>;
// The toolkit's standard one.
std::string StandardFolderDialog(QWidget* parent, const std::string& start);

// Asks for a package folder through `dialog`. "" when the operator cancels, or picks a folder
// with no script.ini or readid.ini (a warning says so); otherwise the folder, ending with "/".
std::string AskPackageFolder(QWidget* parent, const std::string& start,
                             const TFolderDialog& dialog = StandardFolderDialog);

// At a window start when no folder holds a package (ProgramDir() is ""): makes the folder
// chosen last the program folder, or asks for one when none still holds a script. There is
// still none when the operator cancels.
void ChooseStartFolder(QWidget* parent = nullptr,
                       const TFolderDialog& dialog = StandardFolderDialog);
