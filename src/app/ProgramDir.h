#pragma once

#include <string>
#include <vector>

// The program folder, where scripts, card folders, BOOT_EXT_OPTION.HEX, readid.ini and
// Updater.prm are found: the package folder set by SetProgramDir (--folder, or the one found or
// chosen), otherwise the folder of the running program file. Ends with "/"; "" when no folder
// holds a package (ForgetProgramDir) or the program file's folder is unknown.
std::string ProgramDir();

// The folder of the running program file, ending with "/"; "" if unknown.
std::string ProgramFileDir();

// The process's current folder, ending with "/"; "" if unknown.
std::string CurrentDir();

// Makes ProgramDir() answer `dir` from now on, made absolute and ending with "/"; "" goes back
// to the folder of the program file.
void SetProgramDir(const std::string& dir);

// Makes ProgramDir() answer "" until the next SetProgramDir: no package folder is known.
void ForgetProgramDir();

// True while ProgramDir() answers a folder given to SetProgramDir.
bool ProgramDirGiven();

// Whether folder `dir` holds one of `scripts` as a regular file; false for "".
bool HoldsOne(const std::string& dir, const std::vector<std::string>& scripts);

// Whether `dir` can serve as the package folder, and why not: it must be an existing folder
// holding one of `scripts` (file names such as "script.ini").
[[nodiscard]] bool UsablePackageFolder(const std::string& dir,
                                       const std::vector<std::string>& scripts,
                                       std::string& error);

// What a mode starts from, and where it was started.
struct TPackageSearch {
  std::string Script;               // SCRIPT as given; "" for none
  std::vector<std::string> Starts;  // the scripts the mode starts from ("script.ini", ...)
  std::string ProgramFileDir;       // the program's own folder, ending with "/"
  std::string CurrentDir;           // the current folder, ending with "/"
};

struct TPackageFound {
  std::string Dir;                    // ending with "/"; "" when no folder holds a package
  bool Own = false;                   // Dir is the program's own folder
  std::vector<std::string> LookedIn;  // every folder tried, in order
};

// The package folder, when --folder names none: the program's own folder when it holds one
// of `Starts` (a portable folder), else the folder of SCRIPT when one is given, else the
// current folder when it holds one of `Starts`.
TPackageFound FindPackageFolder(const TPackageSearch& search);

// "neither /usr/bin/ nor /home/op/ holds script.ini": why FindPackageFolder found nothing.
std::string NoPackageText(const TPackageFound& found, const std::vector<std::string>& starts);
