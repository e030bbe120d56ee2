#include "ui/About.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "ui/ui_app.h"
#include "version.h"

namespace {

TEST(About, VersionText) {
  EXPECT_EQ(FileVersionText(0x0001001E, 0x00020001), "1.30.2.1");
  EXPECT_EQ(FileVersionText(0xFFFF0000, 0x0000FFFF), "65535.0.0.65535");

  struct {
    const char* text;
    bool ok;
    const char* shown;
  } cases[] = {
      {"1.30.2.1", true, "1.30.2.1"}, {"01.030.2.0001", true, "1.30.2.1"},
      {"2.5", true, "2.5.0.0"},       {"1.0.0.0", true, "1.0.0.0"},
      {"", false, "0.0.0.0"},         {"1.2.3.4.5", false, "0.0.0.0"},
      {"1.65536", false, "0.0.0.0"},  {"1..2", false, "0.0.0.0"},
      {"1.2.", false, "0.0.0.0"},     {"1.-2", false, "0.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t ms = 7, ls = 7;
    EXPECT_EQ(ParseFileVersion(c.text, ms, ls), c.ok);
    EXPECT_EQ(FileVersionText(ms, ls), c.shown);
  }
}

TEST(About, CaptionTitleAndVersion) {
  UiApp();
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "About \"Varnell Qubra Updater\"");
  EXPECT_EQ(box.LTitle->text(), "Varnell Qubra Updater");
  uint32_t ms, ls;
  ASSERT_TRUE(ParseFileVersion(QUBRA_VERSION, ms, ls));
  EXPECT_EQ(box.LVersion->text().toStdString(), "Version : " + FileVersionText(ms, ls));
  EXPECT_EQ(box.OKButton->text(), "OK");
  EXPECT_TRUE(box.OKButton->isDefault());
  EXPECT_FALSE(box.ProgramIcon->pixmap().isNull());
  box.show();
  box.OKButton->click();
  EXPECT_FALSE(box.isVisible());
}

}  // namespace
