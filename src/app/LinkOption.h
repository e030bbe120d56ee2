#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/Selection.h"
#include "app/Settings.h"

class TRunController;

// A connection named on the command line (--link, a device list line): COM1..COM9, a device
// path, tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT].
struct TLinkOption {
  enum TKind : uint8_t { lkCOM, lkDEVICE, lkTCP, lkUDP };
  TKind Kind = lkCOM;
  int ComPort = 1;         // lkCOM
  std::string DevicePath;  // lkDEVICE
  std::string Address;     // lkTCP, lkUDP: dotted decimal, as the address check read it
  int32_t RemotePort = 0;  // lkTCP, lkUDP
  int32_t LocalPort = 0;   // lkUDP
  std::string Text;        // as given
};

// The accepted forms, for messages.
std::string LinkForms();

// Reads `text`. Address parts (0 to 255) and ports (1 to 65535) are plain decimal, without
// sign, blank, base prefix or leading zero. False with `error` quoting the text and naming
// what is wrong.
bool ParseLinkOption(const std::string& text, TLinkOption& link, std::string& error);

// Everything a run needs to reach its device: the Port menu's choice, the LAN values and the
// device path behind each of COM1..COM9.
struct TConnection {
  TPortChoice Port;
  TLanSettings Lan;
  std::array<std::string, 9> ComDevices;
  std::string Device;  // a device path opened by itself, not as a COM slot; "" for none
};

// The connection Updater.prm selects.
TConnection ConnectionFromSettings(const TSettingsLines& lines);
// The connection of a link; COMn still maps through the settings' COMn_DEVICE, and a device
// path is opened by itself (it also stands behind COM1, should the operator check Com 1).
TConnection ConnectionFromLink(const TLinkOption& link, const TSettingsLines& lines);
void ApplyConnection(TRunController& controller, const TConnection& connection);

// Where a connection leads, for records: the device path, or address:port.
struct TLinkDescription {
  std::string Transport;  // "serial", "tcp" or "udp"
  std::string Link;       // device path or address:port
  int32_t LocalPort = 0;  // udp only
};
TLinkDescription DescribeConnection(const TPortChoice& port, const TLanSettings& lan,
                                    const std::array<std::string, 9>& com_devices);
TLinkDescription DescribeConnection(const TConnection& connection);
