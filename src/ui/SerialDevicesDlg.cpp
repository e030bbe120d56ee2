#include "ui/SerialDevicesDlg.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

enum TColumn { coDevice, coCom, coDriver, coUsbId, coManufacturer, coProduct, coSerial, coCount };

QString Text(const std::string& s) {
  return QString::fromStdString(s);
}

QStringList Cells(const TPortRow& row) {
  const TSerialDevice& d = row.Device;
  QStringList cells;
  cells << Text(d.Node) << Text(ComSlotsText(row.ComSlots)) << Text(d.Driver)
        << (d.VendorId.empty() ? QString() : Text(d.VendorId + ":" + d.ProductId))
        << Text(d.Manufacturer) << Text(d.Product) << Text(d.Serial);
  return cells;
}

}  // namespace

TSerialDevicesDlg::TSerialDevicesDlg(TSerialDevices& devices, const TSettingsLines& settings,
                                     int slot, QWidget* parent)
    : QDialog(parent), Devices(devices), Settings(settings) {
  setWindowTitle("Serial Devices");
  DeviceList = new QTableWidget(0, coCount, this);
  DeviceList->setObjectName("DeviceList");
  DeviceList->setHorizontalHeaderLabels(
      {"Device", "COM", "Driver", "USB Id", "Manufacturer", "Product", "Serial"});
  DeviceList->verticalHeader()->hide();
  DeviceList->setSelectionBehavior(QAbstractItemView::SelectRows);
  DeviceList->setSelectionMode(QAbstractItemView::SingleSelection);
  DeviceList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DeviceList->horizontalHeader()->setStretchLastSection(true);
  DeviceList->setMinimumSize(640, 150);
  LName = new QLabel(this);
  LName->setObjectName("LName");
  LName->setTextInteractionFlags(Qt::TextSelectableByMouse);
  CBSlot = new QComboBox(this);
  CBSlot->setObjectName("CBSlot");
  for (int n = 1; n <= 9; ++n) CBSlot->addItem(QString("COM%1").arg(n));
  CBSlot->setCurrentIndex(std::clamp(slot, 1, 9) - 1);
  BAssign = new QPushButton("&Assign to", this);
  BAssign->setObjectName("BAssign");
  BRefresh = new QPushButton("&Refresh", this);
  BRefresh->setObjectName("BRefresh");
  BClose = new QPushButton("Close", this);
  BClose->setObjectName("BClose");

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(BAssign);
  buttons->addWidget(CBSlot);
  buttons->addStretch();
  buttons->addWidget(BRefresh);
  buttons->addWidget(BClose);
  auto* column = new QVBoxLayout(this);
  column->addWidget(DeviceList);
  column->addWidget(LName);
  column->addLayout(buttons);

  connect(BAssign, &QPushButton::clicked, this, &TSerialDevicesDlg::BAssignClick);
  connect(BRefresh, &QPushButton::clicked, this, &TSerialDevicesDlg::Refresh);
  connect(BClose, &QPushButton::clicked, this, &QDialog::accept);
  connect(DeviceList, &QTableWidget::itemSelectionChanged, this, &TSerialDevicesDlg::ShowSelected);
  Watching = Devices.Watch([this] { Refresh(); });
  Refresh();
}

TSerialDevicesDlg::~TSerialDevicesDlg() {
  Devices.Watch(nullptr);
}

void TSerialDevicesDlg::Refresh() {
  const TPortRow* before = Selected();
  const std::string keep = before ? before->Device.Node : std::string();
  std::vector<TSerialDevice> found;
  std::string error;
  const bool listed = Devices.List(found, error);
  Rows = MapComSlots(found, Settings);
  const QSignalBlocker quiet(DeviceList);
  DeviceList->clearContents();
  DeviceList->setRowCount(static_cast<int>(Rows.size()));
  int select = Rows.empty() ? -1 : 0;
  for (size_t r = 0; r < Rows.size(); ++r) {
    const QStringList cells = Cells(Rows[r]);
    for (int c = 0; c < coCount; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(Text(StableName(Rows[r].Device)));
      DeviceList->setItem(static_cast<int>(r), c, item);
    }
    if (Rows[r].Device.Node == keep) select = static_cast<int>(r);
  }
  DeviceList->resizeColumnsToContents();
  if (select >= 0) DeviceList->selectRow(select);
  if (!listed)
    LName->setText(Text(error));
  else if (Rows.empty())
    LName->setText(Watching ? "No serial device found; plug one in."
                            : "No serial device found; plug one in and press Refresh.");
  else
    ShowSelected();
  BAssign->setEnabled(select >= 0);
}

void TSerialDevicesDlg::ShowSelected() {
  const TPortRow* row = Selected();
  BAssign->setEnabled(row != nullptr);
  if (row) LName->setText("Stored as " + Text(StableName(row->Device)));
}

const TPortRow* TSerialDevicesDlg::Selected() const {
  const QList<QTableWidgetItem*> items = DeviceList->selectedItems();
  if (items.isEmpty()) return nullptr;
  const int r = items.first()->row();
  return r >= 0 && r < static_cast<int>(Rows.size()) ? &Rows[r] : nullptr;
}

void TSerialDevicesDlg::BAssignClick() {
  const TPortRow* row = Selected();
  if (!row) return;
  const std::string name = StableName(row->Device);
  if (OnAssign) OnAssign(CBSlot->currentIndex() + 1, name);
  Refresh();
}
