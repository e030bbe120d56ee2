#include "app/LinkOption.h"

#include "app/RunController.h"
#include "formats/text.h"

namespace {

constexpr int32_t kDefaultLocalPort = 10500;

// Outside text in a message, cut when it runs away.
std::string Quoted(const std::string& text) {
  return "\"" + Excerpt(text) + "\"";
}

// Digits only, no sign, blank or base prefix, and no leading zero: "010" is 8 to some readers
// and 10 to others, so a link means the same wherever it is read.
std::optional<int32_t> PlainDecimal(std::string_view text, int32_t max) {
  if (text.empty() || text.size() > 5 || (text[0] == '0' && text.size() > 1)) return std::nullopt;
  int32_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n > max) return std::nullopt;
  return n;
}

bool ReadPort(const std::string& text, const char* what, const std::string& link, int32_t& port,
              std::string& error) {
  const std::optional<int32_t> n = PlainDecimal(text, 65535);
  if (n && *n > 0) {
    port = *n;
    return true;
  }
  error = std::string("bad ") + what + " " + Quoted(text) + " in " + Quoted(link) +
          ": a port from 1 to 65535 in decimal expected";
  return false;
}

bool ReadAddress(const std::string& text, std::string& address) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.', start) : text.size();
    if (dot == std::string::npos) return false;
    const std::optional<int32_t> n =
        PlainDecimal(std::string_view(text).substr(start, dot - start), 255);
    if (!n) return false;
    address += (i > 0 ? "." : "") + std::to_string(*n);
    start = dot + 1;
  }
  return true;
}

bool ParseNetwork(const std::string& text, TLinkOption& link, std::string& error) {
  const bool udp = link.Kind == TLinkOption::lkUDP;
  std::vector<std::string> parts;
  size_t start = 4;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
    parts.push_back(text.substr(start, colon - start));
  parts.push_back(text.substr(start));
  if (parts.size() < 2 || parts.size() > (udp ? 3u : 2u)) {
    error = Quoted(text) + " is not " + (udp ? "udp:A.B.C.D:PORT[:LOCALPORT]" : "tcp:A.B.C.D:PORT");
    return false;
  }
  if (!ReadAddress(parts[0], link.Address)) {
    error = "bad address " + Quoted(parts[0]) + " in " + Quoted(text) +
            ": A.B.C.D expected, each part 0 to 255 in decimal without leading zeros";
    return false;
  }
  if (!ReadPort(parts[1], "port", text, link.RemotePort, error)) return false;
  link.LocalPort = kDefaultLocalPort;
  return parts.size() < 3 || ReadPort(parts[2], "local port", text, link.LocalPort, error);
}

}  // namespace

std::string LinkForms() {
  return "COM1..COM9, a device path (/dev/ttyUSB0), tcp:A.B.C.D:PORT or "
         "udp:A.B.C.D:PORT[:LOCALPORT]";
}

bool ParseLinkOption(const std::string& text, TLinkOption& link, std::string& error) {
  TLinkOption l;
  l.Text = text;
  error.clear();
  if (text.size() == 4 && text.compare(0, 3, "COM") == 0 && text[3] >= '1' && text[3] <= '9') {
    l.ComPort = text[3] - '0';
  } else if (!text.empty() && text[0] == '/') {
    l.Kind = TLinkOption::lkDEVICE;
    l.DevicePath = text;
  } else if (text.rfind("tcp:", 0) == 0 || text.rfind("udp:", 0) == 0) {
    l.Kind = text[0] == 't' ? TLinkOption::lkTCP : TLinkOption::lkUDP;
    if (!ParseNetwork(text, l, error)) return false;
  } else {
    error = Quoted(text) + " is not a link";
    return false;
  }
  link = l;
  return true;
}

TConnection ConnectionFromSettings(const TSettingsLines& lines) {
  const TConnectionSettings s = SettingsFromLines(lines);
  TConnection c{s.Port, s.Lan, {}, {}};
  for (int n = 1; n <= 9; ++n) c.ComDevices[n - 1] = ComDevicePath(lines, n);
  return c;
}

TConnection ConnectionFromLink(const TLinkOption& link, const TSettingsLines& lines) {
  TConnection c = ConnectionFromSettings(lines);
  c.Port = TPortChoice{1, false};
  switch (link.Kind) {
    case TLinkOption::lkCOM:
      c.Port.ComPort = link.ComPort;
      break;
    case TLinkOption::lkDEVICE:
      c.ComDevices[0] = c.Device = link.DevicePath;
      break;
    case TLinkOption::lkTCP:
    case TLinkOption::lkUDP:
      c.Port.Lan = true;
      c.Lan.ConnectionKind = link.Kind == TLinkOption::lkTCP ? CON_TCP : CON_UDP;
      c.Lan.RemoteAddress = link.Address;
      c.Lan.RemotePort = link.RemotePort;
      if (link.Kind == TLinkOption::lkUDP) c.Lan.LocalPort = link.LocalPort;
      break;
  }
  return c;
}

void ApplyConnection(TRunController& controller, const TConnection& connection) {
  controller.SetLanSettings(connection.Lan);
  controller.SetPortChoice(connection.Port);
  controller.SetPortDevice(connection.Device);
  for (int n = 1; n <= 9; ++n) controller.Driver().SetComDevice(n, connection.ComDevices[n - 1]);
}

TLinkDescription DescribeConnection(const TPortChoice& port, const TLanSettings& lan,
                                    const std::array<std::string, 9>& com_devices) {
  if (!port.Lan) {
    const int n = port.ComPort >= 1 && port.ComPort <= 9 ? port.ComPort : 1;
    return {"serial", com_devices[n - 1], 0};
  }
  const bool udp = lan.ConnectionKind == CON_UDP;
  return {udp ? "udp" : "tcp", lan.RemoteAddress + ":" + std::to_string(lan.RemotePort),
          udp ? lan.LocalPort : 0};
}

TLinkDescription DescribeConnection(const TConnection& connection) {
  return DescribeConnection(connection.Port, connection.Lan, connection.ComDevices);
}
