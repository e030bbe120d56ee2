#pragma once

#include <QDialog>

#include "app/Selection.h"

class QCheckBox;
class QGroupBox;
class QPushButton;
class QTabWidget;
class QWidget;

// "Component Selection": for Manual mode, whether the motherboard is programmed and which of its
// components. Created once with the main window; the boxes keep their state for the whole run.
class TCompSelDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TCompSelDlg(QWidget* parent = nullptr);

  // The boxes as the run controller reads them.
  TCompSelection Selection() const;

  QPushButton* OKBtn;
  QTabWidget* PCCompSel;
  QWidget* TSMB;
  QGroupBox* GBUD3;
  QCheckBox* CBMBMCU;
  QCheckBox* CBMBPROM1;
  QCheckBox* CBMBPROM2;
  QCheckBox* CBMB;
  QWidget* TSDVI;
  QCheckBox* CBDVI;
  QCheckBox* CBMBCPLD;
  QCheckBox* CBMBEDID;

  void OKBtnClick();
  void CBMBClick();
};
