#pragma once

#include <cstdint>
#include <string>

// What the program was asked to do on its command line.
enum TCommandMode : uint8_t {
  cmWINDOW,
  cmCHECK,
  cmBATCH,
  cmHELP,
  cmVERSION,
  cmCONVERT,
  cmLISTPORTS
};

struct Options {
  TCommandMode Mode = cmWINDOW;
  std::string Script;          // the first argument not beginning with "--"; empty: the default
  bool ReadId = false;         // run (or check) readid.ini instead of a script
  int32_t TimeoutSeconds = 0;  // --batch: longest silence of the device; 0 for no limit
  std::string TraceFile;       // --batch: where the traffic is written; empty for none
  std::string ConvertIn, ConvertOut;  // --convert-svf IN OUT
  std::string TckHz;                  // --tck-hz as written; checked when parsed
  std::string Folder;                 // --folder: the package folder; empty for the program's own
};
