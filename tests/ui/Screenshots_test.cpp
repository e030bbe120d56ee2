#include <gtest/gtest.h>

#include <QPixmap>
#include <cstdlib>

#include "ui/CompDlg.h"
#include "ui/ipconfig.h"
#include "ui/ui_app.h"

namespace {

// Renders the dialogs as the operator first sees them; with QUBRA_SCREENSHOT_DIR set, the
// pictures are kept there for the documentation.
TEST(Screenshots, LanSetupAndComponentSelection) {
  UiApp();
  TIPConfigDlg lan;
  lan.SetValues({CON_TCP, "192.168.0.10", 10500, 10500});
  lan.show();
  QPixmap lanShot = lan.grab();
  TCompSelDlg comp;
  comp.show();
  QPixmap compShot = comp.grab();

  EXPECT_EQ(lanShot.size(), QSize(263, 247));
  EXPECT_EQ(compShot.size(), comp.size());
  if (const char* dir = std::getenv("QUBRA_SCREENSHOT_DIR")) {
    EXPECT_TRUE(lanShot.save(QString::fromLocal8Bit(dir) + "/lan-setup.png"));
    EXPECT_TRUE(compShot.save(QString::fromLocal8Bit(dir) + "/component-selection.png"));
  }
}

}  // namespace
