#include "ui/ipconfig.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <vector>

#include "ui/ui_app.h"

namespace {

class LanSetup : public testing::Test {
 protected:
  void SetUp() override {
    dlg_.ShowWarning = [this](QWidget*, const QString& text) {
      warnings_.push_back(text.toStdString());
    };
    dlg_.SetValues({CON_TCP, "127.0.0.1", 10500, 10500});
  }
  void Fill(const char* local, const char* remote, const char* addr) {
    dlg_.ELocalPort->setText(local);
    dlg_.ERemotePort->setText(remote);
    dlg_.ERemoteAddr->setText(addr);
  }

  QApplication* app_ = UiApp();  // before any widget: ctest runs each test on its own
  TIPConfigDlg dlg_;
  std::vector<std::string> warnings_;
};

const char* const kLocalWarning = "Choose a Local Port <0-65535>";
const char* const kRemoteWarning = "Choose a Remote Port <0-65535>";
const char* const kIpWarning = "Remote IP address not Valid";

TEST_F(LanSetup, ApplyChecksInOrderAndStoresTheLocalPortFirst) {
  struct {
    const char *local, *remote, *addr;
    const char* warning;  // nullptr: applied
    uint32_t localPort, remotePort;
    const char* address;
    const char* localText;  // the local-port edit afterwards
  } cases[] = {
      {"65536", "x", "1.2.3", kLocalWarning, 10500, 10500, "127.0.0.1", "65536"},
      {"-1", "1", "127.0.0.1", kLocalWarning, 10500, 10500, "127.0.0.1", "-1"},
      {"", "1", "127.0.0.1", kLocalWarning, 10500, 10500, "127.0.0.1", ""},
      {"0100", "port", "1.2.3", kRemoteWarning, 100, 10500, "127.0.0.1", "100"},
      {"65535", "65536", "127.0.0.1", kRemoteWarning, 65535, 10500, "127.0.0.1", "65535"},
      {"0", "7", "127.0.0.256", kIpWarning, 0, 10500, "127.0.0.1", "0"},
      {"1", "7", "127.0.0", kIpWarning, 1, 10500, "127.0.0.1", "1"},
      {"1", "7", "127.0.0.1.5", kIpWarning, 1, 10500, "127.0.0.1", "1"},
      {"1", "7", "127.0.0.1 ", kIpWarning, 1, 10500, "127.0.0.1", "1"},
      {"$10", "0x20", " 127.0.0.1", nullptr, 16, 32, " 127.0.0.1", "16"},
      {"0", "65535", "127.000.000.010", nullptr, 0, 65535, "127.000.000.010", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.local) + " | " + c.remote + " | " + c.addr);
    dlg_.SetValues({CON_TCP, "127.0.0.1", 10500, 10500});
    warnings_.clear();
    Fill(c.local, c.remote, c.addr);
    dlg_.BOk->click();
    if (c.warning) {
      EXPECT_EQ(warnings_, std::vector<std::string>{c.warning});
    } else {
      EXPECT_TRUE(warnings_.empty());
    }
    EXPECT_EQ(dlg_.Applied(), c.warning == nullptr);
    EXPECT_EQ(dlg_.LocalPort(), c.localPort);
    EXPECT_EQ(dlg_.RemotePort(), c.remotePort);
    EXPECT_EQ(dlg_.RemoteAddress(), c.address);
    EXPECT_EQ(dlg_.ELocalPort->text().toStdString(), c.localText);
  }
}

TEST_F(LanSetup, TcpDisablesTheLocalPortButApplyStillChecksIt) {
  dlg_.SetConnectionKind(CON_UDP);
  EXPECT_TRUE(dlg_.RBUdp->isChecked());
  EXPECT_TRUE(dlg_.ELocalPort->isEnabled());
  const QColor udpBase = dlg_.ELocalPort->palette().color(QPalette::Base);

  dlg_.RBTcp->click();
  EXPECT_EQ(dlg_.ConnectionKind(), CON_TCP);
  EXPECT_FALSE(dlg_.ELocalPort->isEnabled());
  EXPECT_NE(dlg_.ELocalPort->palette().color(QPalette::Disabled, QPalette::Base), udpBase);

  Fill("70000", "10500", "127.0.0.1");
  dlg_.BOk->click();
  EXPECT_EQ(warnings_, std::vector<std::string>{kLocalWarning});
  EXPECT_FALSE(dlg_.Applied());
}

TEST_F(LanSetup, CancelKeepsTheKindClickedButNotApplied) {
  Fill("1", "2", "127.0.0.2");
  dlg_.BOk->click();
  ASSERT_TRUE(dlg_.Applied());

  dlg_.show();
  dlg_.RBUdp->click();
  Fill("3", "4", "127.0.0.3");
  dlg_.BCancel->click();
  EXPECT_FALSE(dlg_.isVisible());
  EXPECT_FALSE(dlg_.Applied());
  EXPECT_EQ(dlg_.ConnectionKind(), CON_UDP);
  EXPECT_EQ(dlg_.LocalPort(), 1u);
  EXPECT_EQ(dlg_.RemotePort(), 2u);
  EXPECT_EQ(dlg_.RemoteAddress(), "127.0.0.2");
}

TEST_F(LanSetup, CloseBoxLeavesAppliedAndShowKeepsTheEdits) {
  Fill("1", "2", "127.0.0.2");
  dlg_.BOk->click();
  dlg_.ERemoteAddr->setText("typed, not applied");
  dlg_.show();
  EXPECT_EQ(dlg_.ERemoteAddr->text(), "typed, not applied");
  dlg_.close();
  EXPECT_TRUE(dlg_.Applied());
}

TEST(LanSetupFresh, FirstShowingSelectsTcp) {
  UiApp();
  TIPConfigDlg dlg;
  EXPECT_EQ(dlg.ConnectionKind(), CON_NONE);
  EXPECT_FALSE(dlg.RBTcp->isChecked());
  dlg.show();
  EXPECT_EQ(dlg.ConnectionKind(), CON_TCP);
  EXPECT_TRUE(dlg.RBTcp->isChecked());
  EXPECT_FALSE(dlg.ELocalPort->isEnabled());
  EXPECT_EQ(dlg.ELocalPort->text(), "10100");  // design-time texts until the settings fill them
  EXPECT_EQ(dlg.ERemoteAddr->text(), "192.168.0.10");
  EXPECT_EQ(dlg.ERemotePort->text(), "10500");
  dlg.close();
}

TEST(LanSetupFresh, LayoutCaptionsFontsAndTabOrder) {
  UiApp();
  TIPConfigDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "LAN Setup");
  EXPECT_EQ(dlg.size(), QSize(263, 247));
  struct {
    QWidget* w;
    const char* caption;
    QRect rect;
    int fontPixels;
  } controls[] = {
      {dlg.RGMode, "Connection Mode", {16, 16, 225, 41}, 11},
      {dlg.RBTcp, "Tcp", {32, 32, 49, 17}, 13},
      {dlg.RBUdp, "Udp", {168, 32, 49, 17}, 13},
      {dlg.ELocalPort, "10100", {145, 75, 89, 21}, 11},
      {dlg.ERemoteAddr, "192.168.0.10", {145, 104, 89, 21}, 11},
      {dlg.ERemotePort, "10500", {145, 133, 89, 21}, 11},
      {dlg.BOk, "Apply", {36, 168, 75, 33}, 13},
      {dlg.BCancel, "Cancel", {140, 168, 75, 33}, 13},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(c.caption);
    QString text;
    if (auto* g = qobject_cast<QGroupBox*>(c.w)) text = g->title();
    if (auto* b = qobject_cast<QAbstractButton*>(c.w)) text = b->text();
    if (auto* e = qobject_cast<QLineEdit*>(c.w)) text = e->text();
    EXPECT_EQ(text, c.caption);
    EXPECT_EQ(c.w->geometry(), c.rect);
    EXPECT_EQ(c.w->font().pixelSize(), c.fontPixels);
  }
  struct {
    QLabel* l;
    const char* caption;
    QPoint at;
  } labels[] = {{dlg.LLocalPort, "Local Port :", {17, 80}},
                {dlg.LRemoteAddr, "Remote IP Address :", {17, 109}},
                {dlg.LRemotePort, "Remote Port :", {17, 136}}};
  for (const auto& l : labels) {
    EXPECT_EQ(l.l->text(), l.caption);
    EXPECT_EQ(l.l->pos(), l.at);
    EXPECT_EQ(l.l->font().pixelSize(), 13);
  }

  std::vector<QWidget*> expected = {dlg.BCancel, dlg.ELocalPort, dlg.ERemoteAddr, dlg.ERemotePort,
                                    dlg.BOk,     dlg.RGMode,     dlg.RBUdp,       dlg.RBTcp};
  std::vector<QWidget*> chain;
  QWidget* w = dlg.BCancel;
  do {
    if (std::find(expected.begin(), expected.end(), w) != expected.end()) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != dlg.BCancel && chain.size() < expected.size());
  EXPECT_EQ(chain, expected);
}

// The two radio buttons are one Tab stop, the checked one: Space there cannot switch the mode.
TEST_F(LanSetup, TabReachesTheCheckedModeOnly) {
  dlg_.show();
  dlg_.activateWindow();
  for (int i = 0; i < 1000 && QApplication::activeWindow() != &dlg_; ++i)
    QApplication::processEvents();
  ASSERT_EQ(QApplication::activeWindow(), &dlg_);
  auto press = [&](Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* focus = dlg_.focusWidget() ? dlg_.focusWidget() : &dlg_;
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
      QKeyEvent event(type, key, mods);
      QApplication::sendEvent(focus, &event);
    }
  };
  // Tab from Cancel once round the dialog, then Shift+Tab back.
  auto round = [&](Qt::KeyboardModifiers mods) {
    dlg_.BCancel->setFocus(Qt::OtherFocusReason);
    std::vector<QWidget*> seen{dlg_.focusWidget()};
    for (int i = 0; i < 10; ++i) {
      press(Qt::Key_Tab, mods);
      if (dlg_.focusWidget() == dlg_.BCancel) break;
      seen.push_back(dlg_.focusWidget());
    }
    return seen;
  };
  using W = std::vector<QWidget*>;
  EXPECT_EQ(round(Qt::NoModifier),
            (W{dlg_.BCancel, dlg_.ERemoteAddr, dlg_.ERemotePort, dlg_.BOk, dlg_.RBTcp}));
  EXPECT_EQ(round(Qt::ShiftModifier),
            (W{dlg_.BCancel, dlg_.RBTcp, dlg_.BOk, dlg_.ERemotePort, dlg_.ERemoteAddr}));
  // Shift+Tab from Cancel lands on Tcp: Space keeps it, the arrows move the check and the stop.
  press(Qt::Key_Tab, Qt::ShiftModifier);
  ASSERT_EQ(dlg_.focusWidget(), dlg_.RBTcp);
  press(Qt::Key_Space);
  EXPECT_EQ(dlg_.ConnectionKind(), CON_TCP);
  press(Qt::Key_Right);
  EXPECT_EQ(dlg_.ConnectionKind(), CON_UDP);
  EXPECT_EQ(dlg_.focusWidget(), dlg_.RBUdp);
  EXPECT_EQ(round(Qt::NoModifier), (W{dlg_.BCancel, dlg_.ELocalPort, dlg_.ERemoteAddr,
                                      dlg_.ERemotePort, dlg_.BOk, dlg_.RBUdp}));
  EXPECT_TRUE(dlg_.isVisible());
  dlg_.close();
}

}  // namespace
