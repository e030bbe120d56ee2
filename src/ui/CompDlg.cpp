#include "ui/CompDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>

namespace {

QCheckBox* Box(QWidget* parent, const char* name, const char* caption, int left, int top) {
  auto* cb = new QCheckBox(QString::fromLatin1(caption), parent);
  cb->setObjectName(name);
  cb->setChecked(true);
  cb->setGeometry(left, top, 97, 17);
  return cb;
}

}  // namespace

TCompSelDlg::TCompSelDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Component Selection"));
  setFixedSize(289, 223);

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  OKBtn->setGeometry(107, 184, 75, 25);

  PCCompSel = new QTabWidget(this);
  PCCompSel->setObjectName("PCCompSel");
  PCCompSel->setGeometry(8, 8, 273, 169);
  TSMB = new QWidget;
  TSMB->setObjectName("TSMB");
  TSDVI = new QWidget;
  TSDVI->setObjectName("TSDVI");
  PCCompSel->addTab(TSMB, QStringLiteral("Motherboard"));
  PCCompSel->addTab(TSDVI, QStringLiteral("DVI"));
  PCCompSel->setTabVisible(1, false);  // the DVI card is not offered to the operator
  PCCompSel->setCurrentWidget(TSMB);

  CBMB = Box(TSMB, "CBMB", "Program Motherboard", 16, 12);
  CBMB->setFixedWidth(200);
  GBUD3 = new QGroupBox(QStringLiteral("Select Component to Program"), TSMB);
  GBUD3->setObjectName("GBUD3");
  GBUD3->setGeometry(8, 38, 253, 95);
  CBMBMCU = Box(GBUD3, "CBMBMCU", "MCU", 16, 22);
  CBMBPROM1 = Box(GBUD3, "CBMBPROM1", "PROM 1", 16, 44);
  CBMBPROM2 = Box(GBUD3, "CBMBPROM2", "PROM 2", 16, 66);
  CBMBEDID = Box(GBUD3, "CBMBEDID", "EDID", 140, 22);
  CBMBCPLD = Box(GBUD3, "CBMBCPLD", "CPLD", 140, 44);
  CBDVI = Box(TSDVI, "CBDVI", "Program DVI", 16, 12);

  setTabOrder(CBMB, CBMBMCU);
  setTabOrder(CBMBMCU, CBMBPROM1);
  setTabOrder(CBMBPROM1, CBMBPROM2);
  setTabOrder(CBMBPROM2, CBMBCPLD);
  setTabOrder(CBMBCPLD, CBMBEDID);

  connect(OKBtn, &QPushButton::clicked, this, &TCompSelDlg::OKBtnClick);
  connect(CBMB, &QCheckBox::clicked, this, &TCompSelDlg::CBMBClick);

  // Centred on the screen, not on the main window.
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TCompSelection TCompSelDlg::Selection() const {
  TCompSelection s;
  s.MotherBoard = CBMB->isChecked();
  s.MCU = CBMBMCU->isChecked();
  s.PROM1 = CBMBPROM1->isChecked();
  s.PROM2 = CBMBPROM2->isChecked();
  s.CPLD = CBMBCPLD->isChecked();
  s.EDID = CBMBEDID->isChecked();
  s.DVI = CBDVI->isChecked();
  return s;
}

void TCompSelDlg::OKBtnClick() {
  accept();
}

void TCompSelDlg::CBMBClick() {
  bool on = CBMB->isChecked();
  for (QCheckBox* cb : {CBMBMCU, CBMBPROM1, CBMBPROM2, CBMBCPLD, CBMBEDID}) {
    cb->setEnabled(on);
    cb->setChecked(on);
  }
}
