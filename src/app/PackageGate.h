#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/RunObserver.h"
#include "engines/gestionnaire.h"

// The verdict on an update package before a run contacts the device.
struct TPackageVerdict {
  TSealReport Seal;
  std::vector<std::string> Problems;  // any one ends the run before contact, each named
  TFileCheck FileCheck;               // for every file the run reads; empty for none
};

// Asked once per run, before the device hears anything: the program folder and the main script.
using TPackageGate =
    std::function<TPackageVerdict(const std::string& program_dir, const std::string& script)>;
