#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "app/Selection.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The modal "LAN Setup" dialog: TCP or UDP, local port, device address and device port. It only
// validates and keeps the values; it opens no connection. One instance lives for the whole run.
class TIPConfigDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TIPConfigDlg(QWidget* parent = nullptr);

  void SetConnectionKind(tConnectionType kind);
  void SetRemoteAddress(const std::string& text);
  void SetRemotePort(uint32_t p);
  void SetLocalPort(uint32_t p);

  tConnectionType ConnectionKind() const { return connectionKind_; }
  const std::string& RemoteAddress() const { return remoteAddress_; }
  uint32_t RemotePort() const { return remotePort_; }
  uint32_t LocalPort() const { return localPort_; }
  bool Applied() const { return applied_; }

  // The stored values as the run controller and the settings file take them.
  TLanSettings Values() const;
  void SetValues(const TLanSettings& lan);

  // Shows a warning; QMessageBox::warning unless replaced (tests record the texts instead).
  std::function<void(QWidget* parent, const QString& text)> ShowWarning;

  QGroupBox* RGMode;
  QRadioButton* RBTcp;
  QRadioButton* RBUdp;
  QLabel* LLocalPort;
  QLineEdit* ELocalPort;
  QLabel* LRemoteAddr;
  QLineEdit* ERemoteAddr;
  QLabel* LRemotePort;
  QLineEdit* ERemotePort;
  QPushButton* BOk;
  QPushButton* BCancel;

  void BOkClick();
  void BCancelClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateModeTabStop();

  tConnectionType connectionKind_ = CON_NONE;
  std::string remoteAddress_;
  uint32_t remotePort_ = 0;
  uint32_t localPort_ = 0;
  bool applied_ = false;
};
