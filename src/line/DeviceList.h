#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/LinkOption.h"

// One line of a device list: "NAME LINK".
struct TLineDevice {
  std::string Name;
  TLinkOption Link;  // Text as written; the rest once checked
  int LineNumber = 0;
};

// Checks the devices of a list one after the other, each against those accepted before it: a
// malformed line, a bad link, a name or link used twice (COMn resolved through `settings`), and
// two UDP links that would bind the same local port.
class TDeviceListCheck {
 public:
  explicit TDeviceListCheck(const TSettingsLines& settings) : Settings(settings) {}
  // Every reason `text` ("NAME LINK") is refused; none when it names a sound device, which
  // then fills `device` and is remembered.
  std::vector<std::string> Add(int line_number, const std::string& text, TLineDevice& device);

 private:
  struct TSeen {
    std::string Name;
    int LineNumber = 0;
  };
  const TSettingsLines& Settings;
  std::map<std::string, TSeen> Names, Links;
  std::map<int32_t, TSeen> LocalPorts;
};

// Reads a device list (`lines` of the file `path`): one "NAME LINK" per line, blank lines and
// lines beginning with '#' skipped. Refuses a malformed line, a bad link, a name or link used
// twice (COMn resolved through `settings`), and two UDP links that would bind the same local
// port: `error` then holds one line "path:line: reason" for each, up to kMaxListErrors, and
// one that counts the rest.
inline constexpr size_t kMaxListErrors = 20;
bool ParseDeviceList(const std::string& path, const std::vector<std::string>& lines,
                     const TSettingsLines& settings, std::vector<TLineDevice>& devices,
                     std::string& error);
// The devices a list names, unchecked: every line neither blank nor a comment, its first word
// the name and the rest the link.
std::vector<TLineDevice> ReadDeviceEntries(const std::vector<std::string>& lines);
// The list as written back over `lines`, the list as it was read: each device after the
// comments and blank lines that came before its own line (LineNumber; 0 for a device added
// since), a removed device's comments kept for the next, and the list's last ones at the end.
std::vector<std::string> WriteDeviceEntries(const std::vector<std::string>& lines,
                                            const std::vector<TLineDevice>& devices);
