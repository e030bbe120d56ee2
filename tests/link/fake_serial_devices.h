#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "link/SerialDevices.h"

// A device list the test sets; Plug and Unplug bring the news as the system's monitor does.
class TFakeSerialDevices : public TSerialDevices {
 public:
  bool List(std::vector<TSerialDevice>& out, std::string& error) override {
    out.clear();
    if (!fail.empty()) return error = fail, false;
    out = devices;
    return true;
  }
  bool Watch(std::function<void()> f) override {
    changed = std::move(f);
    return watchable;
  }
  void Plug(const TSerialDevice& d) {
    devices.push_back(d);
    if (changed) changed();
  }
  void Unplug(const std::string& node) {
    std::erase_if(devices, [&](const TSerialDevice& d) { return d.Node == node; });
    if (changed) changed();
  }

  std::vector<TSerialDevice> devices;
  std::string fail;  // List fails with this text when set
  bool watchable = true;
  std::function<void()> changed;
};

// An FTDI adapter as the system describes it.
inline TSerialDevice FtdiAdapter(const std::string& node = "/dev/ttyUSB0",
                                 const std::string& serial = "A1B2C3") {
  return {node,
          "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0",
          "ftdi_sio",
          "0403",
          "6001",
          "FTDI",
          "FT232R USB UART",
          serial};
}

// A port on the board: no USB, no by-id name.
inline TSerialDevice BoardPort(const std::string& node = "/dev/ttyS0") {
  return {node, "", "serial", "", "", "", "", ""};
}
