#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/Selection.h"

// The settings file Updater.prm: KEY=VALUE lines kept as read, so comments, unknown keys and
// the COMn_DEVICE keys survive a start and a close in place and order.

using TSettingsLines = std::vector<std::string>;

inline constexpr const char* kSettingsFileName = "Updater.prm";

// Value of the first line whose text before its first "=" equals key (letter case ignored) and
// whose value is not empty; `def` when there is none.
std::string ReadSetting(const TSettingsLines& lines, std::string_view key, std::string_view def);

// Replaces the value in the line ReadSetting would read; appends key=value when there is none.
void WriteSetting(TSettingsLines& lines, std::string_view key, std::string_view value);

// The connection the file selects (steps of reading the five keys). A port value that is not
// a plain non-negative decimal number takes the default 10500.
struct TConnectionSettings {
  TPortChoice Port;
  TLanSettings Lan;
};
TConnectionSettings SettingsFromLines(const TSettingsLines& lines);

// REPORT_FILE: where every run's record is appended, relative to `programDir` unless it is
// absolute; "" when the key is absent.
std::string ReportFileSetting(const TSettingsLines& lines, const std::string& programDir);

// Writes the five keys for the given menu choice and LAN values.
void SettingsToLines(TSettingsLines& lines, const TPortChoice& port, const TLanSettings& lan);

// "COM1".."COM9" for the checked item; "COM1" when LAN/Setup is checked or the number is out
// of range.
std::string SelectedComPort(const TPortChoice& port);

// Device path of COMn (n = 1..9): COMn_DEVICE when present and not empty, else /dev/ttyS<n-1>.
std::string ComDevicePath(const TSettingsLines& lines, int n);

// Reads <programDir>Updater.prm into `lines` and returns the connection it selects; without
// the file, COM1 and the LAN defaults. A file that exists but cannot be read gives the defaults
// too, and `unreadable` says so for the operator, naming the file and why; otherwise it is
// empty. Such a file must never be written back: it would lose what the operator cannot see.
TConnectionSettings LoadSettings(const std::string& programDir, TSettingsLines& lines,
                                 std::string& unreadable);

// Writes the five keys into `lines` and replaces <programDir>Updater.prm as TAtomicFile does,
// each line ending in CR LF. On failure the old file is untouched, the reason goes to stderr
// and false is returned.
bool SaveSettings(const std::string& programDir, TSettingsLines& lines, const TPortChoice& port,
                  const TLanSettings& lan);

// Where a window keeps its settings between starts: Updater.prm of its program folder, through
// the two functions above. main hands one to the window; a test may hand in its own.
class TSettingsStore {
 public:
  virtual ~TSettingsStore() = default;
  virtual TConnectionSettings Load(const std::string& programDir, TSettingsLines& lines,
                                   std::string& unreadable) {
    return LoadSettings(programDir, lines, unreadable);
  }
  virtual bool Save(const std::string& programDir, TSettingsLines& lines, const TPortChoice& port,
                    const TLanSettings& lan) {
    return SaveSettings(programDir, lines, port, lan);
  }
};

// Dotted IPv4 text: four parts, each converting completely (the shared text-to-number rules)
// to 0..255. `parts` receives the four numbers, or four zeros when the text is not valid.
bool IsValidIpAddress(std::string_view text, uint8_t parts[4]);
