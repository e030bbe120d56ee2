#pragma once

#include <initializer_list>
#include <string>

// The program folder, where scripts, card folders, BOOT_EXT_OPTION.HEX, readid.ini and
// Updater.prm are found: the package folder set by SetProgramDir (--folder, or the one the
// operator chose), otherwise the folder of the running program file. Ends with "/"; "" (the
// current folder) if unknown.
std::string ProgramDir();

// Makes ProgramDir() answer `dir` from now on, made absolute and ending with "/"; "" goes back
// to the folder of the program file.
void SetProgramDir(const std::string& dir);

// True while ProgramDir() answers a folder given to SetProgramDir.
bool ProgramDirGiven();

// Why `dir` cannot serve as the package folder, or "" when it can: it must be an existing
// folder holding one of `scripts` (file names such as "script.ini").
std::string PackageFolderProblem(const std::string& dir,
                                 std::initializer_list<const char*> scripts);
