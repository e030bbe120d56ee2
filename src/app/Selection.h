#pragma once

#include <cstdint>
#include <string>

#include "formats/constante.h"

// What the operator chose in the menus and dialogs, as plain values: the dialogs fill them, the
// run controller reads them when a run starts.

// The Component Selection boxes (only Manual mode looks at them).
struct TCompSelection {
  bool MotherBoard = true;  // "Program Motherboard"
  bool MCU = true;          // letters "0" to "7"
  bool PROM1 = true;        // "8"
  bool PROM2 = true;        // "9"
  bool CPLD = true;         // "A"
  bool EDID = true;         // "E"
  bool DVI = true;          // "Program DVI": shown nowhere, decides nothing
};

// The LAN Setup values, kept in memory between showings of the dialog.
struct TLanSettings {
  tConnectionType ConnectionKind = CON_TCP;  // CON_UDP or CON_TCP
  std::string RemoteAddress = "192.168.0.10";
  int32_t RemotePort = 10500;
  int32_t LocalPort = 10500;
};

// The Port menu: which radio item is checked.
struct TPortChoice {
  int ComPort = 1;   // 1..9, the checked "Com &n" when Lan is false
  bool Lan = false;  // "LAN/Setup" checked
};
