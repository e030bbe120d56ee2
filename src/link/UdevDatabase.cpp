#include "link/UdevDatabase.h"

#include <libudev.h>

#include <cerrno>

namespace {

std::string Text(const char* s) {
  return s ? s : "";
}

TTtyRecord Describe(udev_device* dev) {
  TTtyRecord r;
  r.Node = Text(udev_device_get_devnode(dev));
  if (const char* type = udev_device_get_sysattr_value(dev, "type")) r.Type = type;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(dev)) {
    r.Links.push_back(Text(udev_list_entry_get_name(entry)));
  }
  udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(dev)) {
    r.Properties[Text(udev_list_entry_get_name(entry))] = Text(udev_list_entry_get_value(entry));
  }
  for (udev_device* p = udev_device_get_parent(dev); p; p = udev_device_get_parent(p))
    r.Ancestors.push_back({Text(udev_device_get_subsystem(p)), Text(udev_device_get_driver(p))});
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device"))
    for (const char* name : {"idVendor", "idProduct", "manufacturer", "product", "serial"})
      if (const char* value = udev_device_get_sysattr_value(usb, name)) r.Usb[name] = value;
  return r;
}

class TLibUdev : public TUdevDatabase {
 public:
  TLibUdev() : Udev(udev_new()) {}
  ~TLibUdev() override {
    StopMonitor();
    if (Udev) udev_unref(Udev);
  }
  TLibUdev(const TLibUdev&) = delete;
  TLibUdev& operator=(const TLibUdev&) = delete;

  bool Opened() const override { return Udev != nullptr; }

  int ScanTtys(std::vector<TTtyRecord>& ttys) override {
    udev_enumerate* found = udev_enumerate_new(Udev);
    int rc = found ? udev_enumerate_add_match_subsystem(found, "tty") : -ENOMEM;
    if (rc >= 0) rc = udev_enumerate_scan_devices(found);
    udev_list_entry* entry;
    if (rc >= 0) {
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(found)) {
        udev_device* dev = udev_device_new_from_syspath(Udev, udev_list_entry_get_name(entry));
        if (!dev) continue;  // gone since the scan
        ttys.push_back(Describe(dev));
        udev_device_unref(dev);
      }
    }
    if (found) udev_enumerate_unref(found);
    return rc < 0 ? rc : 0;
  }

  int StartMonitor() override {
    // The "udev" source announces a device once its links (by-id) and properties are in place.
    Monitor = udev_monitor_new_from_netlink(Udev, "udev");
    if (Monitor && udev_monitor_filter_add_match_subsystem_devtype(Monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(Monitor) >= 0)
      return udev_monitor_get_fd(Monitor);
    StopMonitor();
    return -1;
  }

  void StopMonitor() override {
    if (Monitor) udev_monitor_unref(Monitor);
    Monitor = nullptr;
  }

  bool NextNews(std::string& action) override {
    // The monitor's socket does not block: this ends when the queue is empty.
    udev_device* dev = Monitor ? udev_monitor_receive_device(Monitor) : nullptr;
    if (!dev) return false;
    action = Text(udev_device_get_action(dev));
    udev_device_unref(dev);
    return true;
  }

 private:
  udev* Udev;
  udev_monitor* Monitor = nullptr;
};

}  // namespace

std::unique_ptr<TUdevDatabase> OpenUdevDatabase() {
  return std::make_unique<TLibUdev>();
}
