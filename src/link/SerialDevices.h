#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TUdevDatabase;

// One serial device present on the machine; what the system does not know stays empty.
struct TSerialDevice {
  std::string Node;          // device path, e.g. /dev/ttyUSB0
  std::string ById;          // its /dev/serial/by-id/ name, which survives replugging
  std::string Driver;        // kernel driver, e.g. ftdi_sio
  std::string VendorId;      // USB vendor id, four hex digits
  std::string ProductId;     // USB product id, four hex digits
  std::string Manufacturer;  // as the device names itself
  std::string Product;
  std::string Serial;
};

// The serial devices present, and news of their plugging and unplugging.
class TSerialDevices {
 public:
  virtual ~TSerialDevices() = default;
  // The devices present, ordered by Node. False, with `error` naming the reason, when they
  // cannot be listed.
  virtual bool List(std::vector<TSerialDevice>& devices, std::string& error) = 0;
  // From now on calls `changed` on this thread's event loop whenever a serial device comes or
  // goes; an empty `changed` stops. False when no such news can come.
  virtual bool Watch(std::function<void()> changed) = 0;
};

// The serial devices of a device database. Consoles, pseudo-terminals and ports without a UART
// behind them are not serial devices.
std::unique_ptr<TSerialDevices> MakeSerialDevices(std::unique_ptr<TUdevDatabase> database);
// Those of the system's device database (libudev).
std::unique_ptr<TSerialDevices> MakeSystemSerialDevices();
