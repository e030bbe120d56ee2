#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the program was asked to do on its command line.
enum TCommandMode : uint8_t {
  cmWINDOW,
  cmCHECK,
  cmBATCH,
  cmHELP,
  cmVERSION,
  cmCONVERT,
  cmLISTPORTS,
  cmLINE,
  cmSEAL,
  cmLINEWINDOW,
  cmHISTORY,        // --history: runs or their summary
  cmHISTORYIMPORT,  // --history-import
  cmHISTORYSYNC     // --history-sync
};

inline bool HistoryMode(TCommandMode mode) {
  return mode == cmHISTORY || mode == cmHISTORYIMPORT || mode == cmHISTORYSYNC;
}

// A run without a window that nobody watches must end some time: a device silent this long
// ends it, unless --timeout says otherwise.
inline constexpr int32_t kDefaultTimeoutSeconds = 120;
// A link not connected by then fails the run (a refused or unanswered TCP device), unless
// --connect-timeout says otherwise.
inline constexpr int32_t kDefaultConnectSeconds = 10;

struct Options {
  TCommandMode Mode = cmWINDOW;
  std::string Script;   // the first argument not beginning with "-"; empty: the default
  bool ReadId = false;  // run (or check) readid.ini instead of a script
  // --batch, --line: longest silence of the device; 0 for no limit, -1 when not given (the
  // default, kDefaultTimeoutSeconds).
  int32_t TimeoutSeconds = -1;
  // --batch, --line: longest wait for the link to connect; 0 for no limit, -1 when not given
  // (kDefaultConnectSeconds).
  int32_t ConnectSeconds = -1;
  std::string TraceFile;              // --batch: where the traffic is written; empty for none
  std::string ConvertIn, ConvertOut;  // --convert-svf IN OUT
  std::string TckHz;                  // --tck-hz as written; checked when parsed
  std::string Folder;                 // --folder: the package folder; empty for the program's own
  std::string Link;        // --batch and the window: the connection; empty: Updater.prm's
  std::string ReportFile;  // --batch, --line: where each run's record is appended
  bool Events = false;     // --batch: JSON lines on stdout instead of the status lines
  std::string Name;        // --batch: the device's name in the record and the events
  std::string LineFile;    // --line, --line-window: the device list
  int32_t Jobs = 0;        // --line, --line-window: devices updated at a time; 0 for all
  bool StartAll = false;   // --line-window: every device starts when the window opens
  std::string SealFolder;  // --seal DIR: the package folder, as --folder
  std::vector<std::string> TrustFiles;  // --trust, in the order given
  bool RequireSeal = false;             // --require-seal
  // --history [WHO] and its filter; --history-import FILE...; --history-db for every mode
  std::string HistoryDb;
  bool HistoryDbGiven = false;
  std::string Who, Since, Until, Result, Format, By;
  bool Summary = false;
  std::string Chart;  // --chart FILE: the picture's path
  std::vector<std::string> HistoryFiles;
};

// How an option takes its value.
enum class TOptionValue : uint8_t {
  None,      // --check
  Required,  // --timeout SECONDS or --timeout=SECONDS
  Optional,  // --seal [DIR]: the next argument unless it begins with "--"
  Inline,    // --line-window [FILE]: only as --line-window=FILE; otherwise SCRIPT is the FILE
  Pair,      // --convert-svf IN OUT
};

// One line of the option table, from which the parser, the usage, --help and the check of
// combinations are made.
struct TOptionSpec {
  std::string Name;  // "--timeout", "-j"
  TOptionValue Value = TOptionValue::None;
  std::string ValueName;  // "SECONDS", "[DIR]", "IN OUT"
  // The mode it selects; cmWINDOW for an option that selects none.
  TCommandMode Mode = cmWINDOW;
  // The modes it works with, in the order they are named; none: every mode.
  std::vector<TCommandMode> With;
  bool Repeatable = false;
  // Its --help text after "with MODES:", line by line; one beginning with a line break starts
  // on the line after "with MODES:".
  std::string Help;
  // Stores its value (one, two for a pair, none for a flag); false with the whole message when
  // the value is bad.
  bool (*Take)(Options& options, const std::vector<std::string>& values,
               std::string& error) = nullptr;
};

// The Take of an option whose one value is kept as it is, in `field`.
template <class T>
bool Store(T Options::*field, Options& o, const std::vector<std::string>& values) {
  o.*field = values[0];
  return true;
}
