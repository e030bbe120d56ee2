#include "link/SerialDevices.h"

#include <libudev.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cstring>

#include "link/SysError.h"

namespace {

std::string Text(const char* s) {
  return s ? s : "";
}

std::string ByIdLink(udev_device* dev) {
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(dev)) {
    std::string link = Text(udev_list_entry_get_name(entry));
    if (link.rfind("/dev/serial/by-id/", 0) == 0) return link;
  }
  return {};
}

// The driver that serves the port: newer kernels put the serial core's own "port" devices
// between the tty and the hardware.
std::string PortDriver(udev_device* dev) {
  for (udev_device* p = udev_device_get_parent(dev); p; p = udev_device_get_parent(p)) {
    if (Text(udev_device_get_subsystem(p)) == "serial-base") continue;
    if (const char* driver = udev_device_get_driver(p)) return driver;
  }
  return Text(udev_device_get_property_value(dev, "ID_USB_DRIVER"));
}

std::string Property(udev_device* dev, const char* name, const char* fallback = nullptr) {
  std::string value = Text(udev_device_get_property_value(dev, name));
  if (value.empty() && fallback) value = Text(udev_device_get_property_value(dev, fallback));
  return value;
}

// The USB device's own descriptors where there is one; the device database's words otherwise.
void DescribeHardware(udev_device* dev, TSerialDevice& out) {
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
    out.VendorId = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    out.ProductId = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    out.Manufacturer = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
    out.Product = Text(udev_device_get_sysattr_value(usb, "product"));
    out.Serial = Text(udev_device_get_sysattr_value(usb, "serial"));
  }
  if (out.VendorId.empty()) out.VendorId = Property(dev, "ID_VENDOR_ID");
  if (out.ProductId.empty()) out.ProductId = Property(dev, "ID_MODEL_ID");
  if (out.Manufacturer.empty())
    out.Manufacturer = Property(dev, "ID_VENDOR_FROM_DATABASE", "ID_VENDOR");
  if (out.Product.empty()) out.Product = Property(dev, "ID_MODEL_FROM_DATABASE", "ID_MODEL");
  if (out.Serial.empty()) out.Serial = Property(dev, "ID_SERIAL_SHORT");
}

bool IsSerialPort(udev_device* dev) {
  if (!udev_device_get_devnode(dev)) return false;
  // Consoles, /dev/tty and pseudo-terminals have no hardware behind them.
  if (!udev_device_get_parent(dev)) return false;
  // The legacy driver registers ports it has found no UART for, as type 0.
  const char* type = udev_device_get_sysattr_value(dev, "type");
  return !type || std::strcmp(type, "0") != 0;
}

class TUdevSerialDevices : public TSerialDevices {
 public:
  TUdevSerialDevices() : Udev(udev_new()) {}
  ~TUdevSerialDevices() override {
    StopMonitor();
    if (Udev) udev_unref(Udev);
  }
  TUdevSerialDevices(const TUdevSerialDevices&) = delete;
  TUdevSerialDevices& operator=(const TUdevSerialDevices&) = delete;

  bool List(std::vector<TSerialDevice>& devices, std::string& error) override;
  bool Watch(std::function<void()> changed) override;

 private:
  bool StartMonitor();
  void StopMonitor();
  void Drain();

  udev* Udev;
  udev_monitor* Monitor = nullptr;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::function<void()> Changed;
};

bool TUdevSerialDevices::List(std::vector<TSerialDevice>& devices, std::string& error) {
  devices.clear();
  if (!Udev) {
    error = "cannot open the device database (libudev)";
    return false;
  }
  udev_enumerate* found = udev_enumerate_new(Udev);
  int rc = found ? udev_enumerate_add_match_subsystem(found, "tty") : -ENOMEM;
  if (rc >= 0) rc = udev_enumerate_scan_devices(found);
  if (rc < 0) {
    if (found) udev_enumerate_unref(found);
    error = "cannot list the tty devices: " + SysErrorText(-rc);
    return false;
  }
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(found)) {
    udev_device* dev = udev_device_new_from_syspath(Udev, udev_list_entry_get_name(entry));
    if (!dev) continue;  // gone since the scan
    if (IsSerialPort(dev)) {
      TSerialDevice d;
      d.Node = udev_device_get_devnode(dev);
      d.ById = ByIdLink(dev);
      d.Driver = PortDriver(dev);
      DescribeHardware(dev, d);
      devices.push_back(std::move(d));
    }
    udev_device_unref(dev);
  }
  udev_enumerate_unref(found);
  std::sort(devices.begin(), devices.end(),
            [](const TSerialDevice& a, const TSerialDevice& b) { return a.Node < b.Node; });
  return true;
}

bool TUdevSerialDevices::Watch(std::function<void()> changed) {
  Changed = std::move(changed);
  // Stopping only mutes the monitor: the listener may stop from inside its own call.
  if (!Changed) {
    if (Notifier) Notifier->setEnabled(false);
    return true;
  }
  if (!Monitor && !StartMonitor()) return false;
  Notifier->setEnabled(true);
  return true;
}

bool TUdevSerialDevices::StartMonitor() {
  if (!Udev) return false;
  // The "udev" source announces a device once its links (by-id) and properties are in place.
  Monitor = udev_monitor_new_from_netlink(Udev, "udev");
  if (!Monitor) return false;
  if (udev_monitor_filter_add_match_subsystem_devtype(Monitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(Monitor) < 0) {
    StopMonitor();
    return false;
  }
  Notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(Monitor), QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(),
                   [this] { Drain(); });
  return true;
}

void TUdevSerialDevices::StopMonitor() {
  Notifier.reset();
  if (Monitor) udev_monitor_unref(Monitor);
  Monitor = nullptr;
}

void TUdevSerialDevices::Drain() {
  bool news = false;
  // The monitor's socket does not block: this ends when the queue is empty.
  while (udev_device* dev = udev_monitor_receive_device(Monitor)) {
    const std::string action = Text(udev_device_get_action(dev));
    news = news || action == "add" || action == "remove";
    udev_device_unref(dev);
  }
  if (news && Changed) Changed();
}

}  // namespace

std::unique_ptr<TSerialDevices> MakeSystemSerialDevices() {
  return std::make_unique<TUdevSerialDevices>();
}
