#include "app/Settings.h"

#include <cstdio>

#include "formats/text.h"
#include "sys/AtomicFile.h"
#include "sys/Files.h"

namespace {

constexpr const char* kDefaultRemoteIp = "192.168.0.10";
constexpr int32_t kDefaultPort = 10500;

bool SameKey(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Index of the line that holds key with a non-empty value, or -1. A line holding the key with
// an empty value is passed over, so the line appended after it is the one read next time.
int FindKey(const TSettingsLines& lines, std::string_view key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos || eq + 1 == lines[i].size()) continue;
    if (SameKey(std::string_view(lines[i]).substr(0, eq), key)) return static_cast<int>(i);
  }
  return -1;
}

int32_t ReadPort(const TSettingsLines& lines, std::string_view key) {
  std::string text = ReadSetting(lines, key, "10500");
  for (char c : text)
    if (c < '0' || c > '9') return kDefaultPort;
  return static_cast<int32_t>(StrToInt(text, 0, INT32_MAX).value_or(kDefaultPort));
}

const char* ConTypeText(tConnectionType t) {
  switch (t) {
    case CON_RS232:
      return "RS232";
    case CON_UDP:
      return "UDP";
    case CON_TCP:
      return "TCP";
    default:
      return "NONE";
  }
}

}  // namespace

std::string ReadSetting(const TSettingsLines& lines, std::string_view key, std::string_view def) {
  int i = FindKey(lines, key);
  if (i < 0) return std::string(def);
  const std::string& line = lines[i];
  return line.substr(line.find('=') + 1);
}

std::string ReportFileSetting(const TSettingsLines& lines, const std::string& programDir) {
  const std::string path = ReadSetting(lines, "REPORT_FILE", "");
  return path.empty() || path[0] == '/' ? path : programDir + path;
}

void WriteSetting(TSettingsLines& lines, std::string_view key, std::string_view value) {
  int i = FindKey(lines, key);
  if (i < 0) {
    lines.push_back(std::string(key) + "=" + std::string(value));
    return;
  }
  std::string& line = lines[i];
  line.replace(line.find('=') + 1, std::string::npos, value);
}

TConnectionSettings SettingsFromLines(const TSettingsLines& lines) {
  TConnectionSettings s;
  std::string type = ReadSetting(lines, "CON_TYPE", "NONE");
  if (type == "UDP" || type == "TCP") {
    s.Port.Lan = true;
    s.Lan.ConnectionKind = type == "UDP" ? CON_UDP : CON_TCP;
  } else {
    std::string com = ReadSetting(lines, "COM_PORT", "COM1");
    if (com.size() == 4 && com.compare(0, 3, "COM") == 0 && com[3] >= '2' && com[3] <= '9')
      s.Port.ComPort = com[3] - '0';
    s.Lan.ConnectionKind = CON_TCP;
  }
  s.Lan.RemoteAddress = ReadSetting(lines, "REMOTE_IP", kDefaultRemoteIp);
  s.Lan.RemotePort = ReadPort(lines, "REMOTE_PORT");
  s.Lan.LocalPort = ReadPort(lines, "LOCAL_PORT");
  return s;
}

void SettingsToLines(TSettingsLines& lines, const TPortChoice& port, const TLanSettings& lan) {
  tConnectionType t = port.Lan ? lan.ConnectionKind : CON_RS232;
  WriteSetting(lines, "CON_TYPE", ConTypeText(t));
  WriteSetting(lines, "COM_PORT", t == CON_RS232 ? SelectedComPort(port) : "NA");
  WriteSetting(lines, "REMOTE_IP", lan.RemoteAddress);
  WriteSetting(lines, "REMOTE_PORT", std::to_string(lan.RemotePort));
  WriteSetting(lines, "LOCAL_PORT", std::to_string(lan.LocalPort));
}

std::string SelectedComPort(const TPortChoice& port) {
  if (port.Lan || port.ComPort < 2 || port.ComPort > 9) return "COM1";
  return "COM" + std::to_string(port.ComPort);
}

std::string ComDevicePath(const TSettingsLines& lines, int n) {
  std::string path = ReadSetting(lines, "COM" + std::to_string(n) + "_DEVICE", "");
  if (!path.empty()) return path;
  return "/dev/ttyS" + std::to_string(n - 1);
}

TConnectionSettings LoadSettings(const std::string& programDir, TSettingsLines& lines,
                                 std::string& unreadable) {
  const std::string path = programDir + kSettingsFileName;
  unreadable.clear();
  lines.clear();
  TFileStatus st;
  std::string why;
  const TLook look = FileStatus(path, st, why);
  if (look == TLook::NotFound) return TConnectionSettings{};  // a first start: written at close
  if (look == TLook::Found && !st.Regular) {
    why = "not a regular file";
  } else if (look == TLook::Found && ReadTextLines(path, lines, &why)) {
    return SettingsFromLines(lines);
  }
  lines.clear();
  unreadable = Excerpt(path) + " could not be read (" + why +
               "): the default settings are used and the file is left as it is";
  return TConnectionSettings{};
}

bool SaveSettings(const std::string& programDir, TSettingsLines& lines, const TPortChoice& port,
                  const TLanSettings& lan) {
  SettingsToLines(lines, port, lan);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  TAtomicFile file(programDir + kSettingsFileName);
  if (file.Open() && file.Write(text) && file.Commit()) return true;
  std::fprintf(stderr, "qubra-updater: settings not saved: %s\n", file.Error().c_str());
  return false;
}

bool IsValidIpAddress(std::string_view text, uint8_t parts[4]) {
  uint8_t got[4] = {0, 0, 0, 0};
  bool valid = true;
  for (int i = 0; i < 4 && valid; ++i) {
    size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) {
      valid = false;
      break;
    }
    std::optional<int64_t> v = StrToInt(text.substr(0, dot), 0, 255);
    if (!v)
      valid = false;
    else
      got[i] = static_cast<uint8_t>(*v);
    if (i < 3 && valid) text.remove_prefix(dot + 1);
  }
  for (int i = 0; i < 4; ++i) parts[i] = valid ? got[i] : 0;
  return valid;
}
