#include "app/SerialPorts.h"

#include "sys/ExitStatus.h"
#include "sys/Files.h"

namespace {

// Both paths lead to the same device file; false when either does not exist.
bool SameFile(const std::string& a, const std::string& b) {
  TFileStatus sa, sb;
  std::string ignored;
  return !a.empty() && !b.empty() && FileStatus(a, sa, ignored) == TLook::Found &&
         FileStatus(b, sb, ignored) == TLook::Found && sa.SameFile(sb);
}

bool Names(const std::string& path, const TSerialDevice& d) {
  return path == d.Node || (!d.ById.empty() && path == d.ById) || SameFile(path, d.Node);
}

void Field(std::ostream& out, const char* name, const std::string& value) {
  if (value.empty()) return;
  std::string label = name;
  label.resize(14, ' ');
  out << "  " << label << value << '\n';
}

}  // namespace

std::string StableName(const TSerialDevice& device) {
  return device.ById.empty() ? device.Node : device.ById;
}

std::vector<TPortRow> MapComSlots(const std::vector<TSerialDevice>& devices,
                                  const TSettingsLines& settings) {
  std::vector<TPortRow> rows;
  for (const TSerialDevice& d : devices) {
    TPortRow row{d, {}};
    for (int n = 1; n <= 9; ++n)
      if (Names(ComDevicePath(settings, n), d)) row.ComSlots.push_back(n);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string ComSlotsText(const std::vector<int>& slots) {
  std::string text;
  for (int n : slots) text += (text.empty() ? "COM" : ", COM") + std::to_string(n);
  return text;
}

int RunListPorts(TSerialDevices& devices, const std::string& program_dir, std::ostream& out,
                 std::ostream& err) {
  std::vector<TSerialDevice> found;
  std::string error;
  if (!devices.List(found, error)) {
    err << "qubra-updater: " << error << '\n';
    return kExitFailed;
  }
  TSettingsLines settings;
  std::string unreadable;
  LoadSettings(program_dir, settings, unreadable);
  if (!unreadable.empty()) err << "qubra-updater: " << unreadable << '\n';
  for (const TPortRow& row : MapComSlots(found, settings)) {
    const TSerialDevice& d = row.Device;
    const std::string slots = ComSlotsText(row.ComSlots);
    out << d.Node << "  " << (slots.empty() ? "no COM slot" : slots) << '\n';
    Field(out, "by-id", d.ById);
    Field(out, "driver", d.Driver);
    Field(out, "USB id", d.VendorId.empty() ? "" : d.VendorId + ":" + d.ProductId);
    Field(out, "manufacturer", d.Manufacturer);
    Field(out, "product", d.Product);
    Field(out, "serial", d.Serial);
  }
  if (found.empty())
    out << "no serial devices found\n";
  else
    out << found.size() << (found.size() == 1 ? " serial device\n" : " serial devices\n");
  out.flush();
  return kExitCompleted;
}
