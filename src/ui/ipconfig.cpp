#include "ui/ipconfig.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>

#include "app/Settings.h"
#include "formats/text.h"

namespace {

QFont SansFont(int pixels) {
  QFont f(QStringLiteral("Sans Serif"));
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(pixels);
  return f;
}

// The classic grey of an inactive caption's text, used to show the local port is not used.
const QColor kInactiveCaptionText(212, 208, 200);

void SetEditBackground(QLineEdit* edit, const QColor& color) {
  QPalette p = edit->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    p.setColor(group, QPalette::Base, color);
  edit->setPalette(p);
}

std::optional<int64_t> PortFrom(const QLineEdit* edit) {
  return StrToInt(edit->text().toLatin1().toStdString(), 0, 65535);
}

}  // namespace

TIPConfigDlg::TIPConfigDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("LAN Setup"));
  setFixedSize(263, 247);
  setFont(SansFont(11));
  QFont big = SansFont(13);
  // Wide sans-serif faces would run "Remote IP Address :" under its edit box.
  big.setStretch(QFont::SemiCondensed);

  RGMode = new QGroupBox(QStringLiteral("Connection Mode"), this);
  RGMode->setObjectName("RGMode");
  RGMode->setGeometry(16, 16, 225, 41);

  auto radio = [&](const char* name, const char* caption, int left) {
    auto* rb = new QRadioButton(QString::fromLatin1(caption), this);
    rb->setObjectName(name);
    rb->setFont(big);
    rb->setGeometry(left, 32, 49, 17);
    return rb;
  };
  RBTcp = radio("RBTcp", "Tcp", 32);
  RBUdp = radio("RBUdp", "Udp", 168);

  auto label = [&](const char* name, const char* caption, int top) {
    auto* l = new QLabel(QString::fromLatin1(caption), this);
    l->setObjectName(name);
    l->setFont(big);
    l->move(17, top);
    l->adjustSize();
    return l;
  };
  auto edit = [&](const char* name, const char* text, int top) {
    auto* e = new QLineEdit(QString::fromLatin1(text), this);
    e->setObjectName(name);
    e->setGeometry(145, top, 89, 21);
    return e;
  };
  LLocalPort = label("LLocalPort", "Local Port :", 80);
  ELocalPort = edit("ELocalPort", "10100", 75);
  LRemoteAddr = label("LRemoteAddr", "Remote IP Address :", 109);
  ERemoteAddr = edit("ERemoteAddr", "192.168.0.10", 104);
  LRemotePort = label("LRemotePort", "Remote Port :", 136);
  ERemotePort = edit("ERemotePort", "10500", 133);

  auto button = [&](const char* name, const char* caption, int left) {
    auto* b = new QPushButton(QString::fromLatin1(caption), this);
    b->setObjectName(name);
    b->setFont(big);
    b->setGeometry(left, 168, 75, 33);
    b->setAutoDefault(false);
    return b;
  };
  BOk = button("BOk", "Apply", 36);
  BCancel = button("BCancel", "Cancel", 140);

  QWidget* order[] = {BCancel, ELocalPort, ERemoteAddr, ERemotePort, BOk, RGMode, RBUdp, RBTcp};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  // Like any radio group, the pair is one Tab stop, the checked button; the arrows move within.
  for (QRadioButton* rb : {RBTcp, RBUdp})
    connect(rb, &QRadioButton::toggled, this, &TIPConfigDlg::UpdateModeTabStop);
  connect(RBTcp, &QRadioButton::clicked, this, [this] { SetConnectionKind(CON_TCP); });
  connect(RBUdp, &QRadioButton::clicked, this, [this] { SetConnectionKind(CON_UDP); });
  connect(BOk, &QPushButton::clicked, this, &TIPConfigDlg::BOkClick);
  connect(BCancel, &QPushButton::clicked, this, &TIPConfigDlg::BCancelClick);

  ShowWarning = [](QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, QStringLiteral("Warning"), text);
  };
}

void TIPConfigDlg::SetConnectionKind(tConnectionType kind) {
  connectionKind_ = kind;
  bool udp = kind == CON_UDP;
  (udp ? RBUdp : RBTcp)->setChecked(true);
  ELocalPort->setEnabled(udp);
  SetEditBackground(
      ELocalPort,
      udp ? QApplication::palette().color(QPalette::Active, QPalette::Base) : kInactiveCaptionText);
}

void TIPConfigDlg::UpdateModeTabStop() {
  const bool none = !RBTcp->isChecked() && !RBUdp->isChecked();
  for (QRadioButton* rb : {RBTcp, RBUdp})
    rb->setFocusPolicy(rb->isChecked() || none ? Qt::StrongFocus : Qt::ClickFocus);
}

void TIPConfigDlg::SetRemoteAddress(const std::string& text) {
  remoteAddress_ = text;
  ERemoteAddr->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void TIPConfigDlg::SetRemotePort(uint32_t p) {
  remotePort_ = p;
  ERemotePort->setText(QString::number(p));
}

void TIPConfigDlg::SetLocalPort(uint32_t p) {
  localPort_ = p;
  ELocalPort->setText(QString::number(p));
}

TLanSettings TIPConfigDlg::Values() const {
  TLanSettings lan;
  lan.ConnectionKind = connectionKind_;
  lan.RemoteAddress = remoteAddress_;
  lan.RemotePort = static_cast<int32_t>(remotePort_);
  lan.LocalPort = static_cast<int32_t>(localPort_);
  return lan;
}

void TIPConfigDlg::SetValues(const TLanSettings& lan) {
  SetConnectionKind(lan.ConnectionKind);
  SetRemoteAddress(lan.RemoteAddress);
  SetRemotePort(static_cast<uint32_t>(lan.RemotePort));
  SetLocalPort(static_cast<uint32_t>(lan.LocalPort));
}

void TIPConfigDlg::BOkClick() {
  std::optional<int64_t> local = PortFrom(ELocalPort);
  if (!local) return ShowWarning(this, QStringLiteral("Choose a Local Port <0-65535>"));
  // Stored before the other checks: a later failure keeps the new local port.
  SetLocalPort(static_cast<uint32_t>(*local));
  std::optional<int64_t> remote = PortFrom(ERemotePort);
  if (!remote) return ShowWarning(this, QStringLiteral("Choose a Remote Port <0-65535>"));
  std::string address = ERemoteAddr->text().toLatin1().toStdString();
  uint8_t parts[4];
  if (!IsValidIpAddress(address, parts))
    return ShowWarning(this, QStringLiteral("Remote IP address not Valid"));
  SetRemotePort(static_cast<uint32_t>(*remote));
  SetRemoteAddress(address);
  applied_ = true;
  accept();
}

void TIPConfigDlg::BCancelClick() {
  applied_ = false;
  reject();
}

void TIPConfigDlg::showEvent(QShowEvent* event) {
  if (connectionKind_ != CON_UDP && connectionKind_ != CON_TCP) SetConnectionKind(CON_TCP);
  QDialog::showEvent(event);
}
