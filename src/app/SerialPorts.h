#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "link/SerialDevices.h"

// A serial device present, with the COM slots of Updater.prm that open it.
struct TPortRow {
  TSerialDevice Device;
  std::vector<int> ComSlots;  // 1..9, ascending
};

// What to store as COMn_DEVICE for `device`: its by-id name when it has one, else its node.
std::string StableName(const TSerialDevice& device);

// Each device with the slots whose device path (COMn_DEVICE, or /dev/ttyS<n-1>) names it,
// directly or through a link such as its by-id name.
std::vector<TPortRow> MapComSlots(const std::vector<TSerialDevice>& devices,
                                  const TSettingsLines& settings);

// "COM1, COM3"; "" for none.
std::string ComSlotsText(const std::vector<int>& slots);

// --list-ports: a block of lines per device present, mapped through <program_dir>Updater.prm,
// then a count. 0; 1 with the reason on `err` when the devices cannot be listed.
int RunListPorts(TSerialDevices& devices, const std::string& program_dir, std::ostream& out,
                 std::ostream& err);
