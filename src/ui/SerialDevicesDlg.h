#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/SerialPorts.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

// The modal "Serial Devices" dialog: the serial devices present, the COM slot each is mapped
// to, and the assignment of one to a COM slot. The list follows plugging while it is open.
class TSerialDevicesDlg : public QDialog {
  Q_OBJECT

 public:
  // `settings` (the lines of Updater.prm) map COM slots to devices; `slot` (1..9) is offered
  // first. Both sources must outlive the dialog.
  TSerialDevicesDlg(TSerialDevices& devices, const TSettingsLines& settings, int slot,
                    QWidget* parent = nullptr);
  ~TSerialDevicesDlg() override;

  // The operator assigned a device: store `name` as the device path of COM `slot`. The list
  // is shown again afterwards, read through `settings`.
  std::function<void(int slot, const std::string& name)> OnAssign;

  // Lists the devices again, keeping the selected one selected.
  void Refresh();
  void BAssignClick();

  QTableWidget* DeviceList;
  QLabel* LName;  // the name an assignment stores, or why the list is empty
  QComboBox* CBSlot;
  QPushButton* BAssign;
  QPushButton* BRefresh;
  QPushButton* BClose;

 private:
  void ShowSelected();
  const TPortRow* Selected() const;

  TSerialDevices& Devices;
  const TSettingsLines& Settings;
  std::vector<TPortRow> Rows;
  bool Watching = false;
};
