#include "link/SerialDevices.h"

#include <QSocketNotifier>
#include <algorithm>

#include "link/SysError.h"
#include "link/UdevDatabase.h"

namespace {

std::string Find(const std::map<std::string, std::string>& values, const char* name) {
  const auto it = values.find(name);
  return it == values.end() ? std::string() : it->second;
}

// The first of the names the database has a value for.
std::string Property(const TTtyRecord& tty, const char* name, const char* fallback = nullptr) {
  std::string value = Find(tty.Properties, name);
  if (value.empty() && fallback) value = Find(tty.Properties, fallback);
  return value;
}

std::string ByIdLink(const TTtyRecord& tty) {
  for (const std::string& link : tty.Links)
    if (link.rfind("/dev/serial/by-id/", 0) == 0) return link;
  return {};
}

// The driver that serves the port: newer kernels put the serial core's own "port" devices
// between the tty and the hardware.
std::string PortDriver(const TTtyRecord& tty) {
  for (const TTtyRecord::TAncestor& a : tty.Ancestors)
    if (a.Subsystem != "serial-base" && !a.Driver.empty()) return a.Driver;
  return Property(tty, "ID_USB_DRIVER");
}

// The USB device's own descriptors where there is one; the device database's words otherwise.
void DescribeHardware(const TTtyRecord& tty, TSerialDevice& out) {
  out.VendorId = Find(tty.Usb, "idVendor");
  out.ProductId = Find(tty.Usb, "idProduct");
  out.Manufacturer = Find(tty.Usb, "manufacturer");
  out.Product = Find(tty.Usb, "product");
  out.Serial = Find(tty.Usb, "serial");
  if (out.VendorId.empty()) out.VendorId = Property(tty, "ID_VENDOR_ID");
  if (out.ProductId.empty()) out.ProductId = Property(tty, "ID_MODEL_ID");
  if (out.Manufacturer.empty())
    out.Manufacturer = Property(tty, "ID_VENDOR_FROM_DATABASE", "ID_VENDOR");
  if (out.Product.empty()) out.Product = Property(tty, "ID_MODEL_FROM_DATABASE", "ID_MODEL");
  if (out.Serial.empty()) out.Serial = Property(tty, "ID_SERIAL_SHORT");
}

bool IsSerialPort(const TTtyRecord& tty) {
  // Consoles, /dev/tty and pseudo-terminals have no hardware behind them.
  if (tty.Node.empty() || tty.Ancestors.empty()) return false;
  // The legacy driver registers ports it has found no UART for, as type 0.
  return tty.Type != "0";
}

class TUdevSerialDevices : public TSerialDevices {
 public:
  explicit TUdevSerialDevices(std::unique_ptr<TUdevDatabase> database)
      : Database(std::move(database)) {}
  ~TUdevSerialDevices() override { StopMonitor(); }
  TUdevSerialDevices(const TUdevSerialDevices&) = delete;
  TUdevSerialDevices& operator=(const TUdevSerialDevices&) = delete;

  bool List(std::vector<TSerialDevice>& devices, std::string& error) override;
  bool Watch(std::function<void()> changed) override;

 private:
  bool StartMonitor();
  void StopMonitor();
  void Drain();

  std::unique_ptr<TUdevDatabase> Database;
  bool Monitoring = false;
  std::unique_ptr<QSocketNotifier> Notifier;
  std::function<void()> Changed;
};

bool TUdevSerialDevices::List(std::vector<TSerialDevice>& devices, std::string& error) {
  devices.clear();
  if (!Database->Opened()) {
    error = "cannot open the device database (libudev)";
    return false;
  }
  std::vector<TTtyRecord> ttys;
  if (const int rc = Database->ScanTtys(ttys); rc < 0) {
    error = "cannot list the tty devices: " + SysErrorText(-rc);
    return false;
  }
  for (const TTtyRecord& tty : ttys) {
    if (!IsSerialPort(tty)) continue;
    TSerialDevice d;
    d.Node = tty.Node;
    d.ById = ByIdLink(tty);
    d.Driver = PortDriver(tty);
    DescribeHardware(tty, d);
    devices.push_back(std::move(d));
  }
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
  if (!Monitoring && !StartMonitor()) return false;
  Notifier->setEnabled(true);
  return true;
}

bool TUdevSerialDevices::StartMonitor() {
  if (!Database->Opened()) return false;
  const int fd = Database->StartMonitor();
  if (fd < 0) return false;
  Monitoring = true;
  Notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(),
                   [this] { Drain(); });
  return true;
}

void TUdevSerialDevices::StopMonitor() {
  Notifier.reset();
  if (Monitoring) Database->StopMonitor();
  Monitoring = false;
}

void TUdevSerialDevices::Drain() {
  bool news = false;
  for (std::string action; Database->NextNews(action);)
    news = news || action == "add" || action == "remove";
  if (news && Changed) Changed();
}

}  // namespace

std::unique_ptr<TSerialDevices> MakeSerialDevices(std::unique_ptr<TUdevDatabase> database) {
  return std::make_unique<TUdevSerialDevices>(std::move(database));
}

std::unique_ptr<TSerialDevices> MakeSystemSerialDevices() {
  return MakeSerialDevices(OpenUdevDatabase());
}
