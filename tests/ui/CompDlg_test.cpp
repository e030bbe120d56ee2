#include "ui/CompDlg.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTabWidget>

#include "ui/ui_app.h"

namespace {

struct Boxes {
  bool mb, mcu, prom1, prom2, cpld, edid;
};

Boxes Seen(const TCompSelDlg& d) {
  TCompSelection s = d.Selection();
  return {s.MotherBoard, s.MCU, s.PROM1, s.PROM2, s.CPLD, s.EDID};
}

bool operator==(const Boxes& a, const Boxes& b) {
  return a.mb == b.mb && a.mcu == b.mcu && a.prom1 == b.prom1 && a.prom2 == b.prom2 &&
         a.cpld == b.cpld && a.edid == b.edid;
}

void PrintTo(const Boxes& b, std::ostream* os) {
  *os << b.mb << b.mcu << b.prom1 << b.prom2 << b.cpld << b.edid;
}

TEST(ComponentSelection, StartsWithEverythingCheckedOnTheMotherboardPage) {
  UiApp();
  TCompSelDlg d;
  EXPECT_EQ(d.windowTitle(), "Component Selection");
  EXPECT_EQ(Seen(d), (Boxes{true, true, true, true, true, true}));
  EXPECT_TRUE(d.CBDVI->isChecked());
  EXPECT_EQ(d.PCCompSel->currentWidget(), d.TSMB);
  EXPECT_EQ(d.PCCompSel->tabText(0), "Motherboard");
  EXPECT_EQ(d.PCCompSel->tabText(1), "DVI");
  EXPECT_TRUE(d.PCCompSel->isTabVisible(0));
  EXPECT_FALSE(d.PCCompSel->isTabVisible(1));
  EXPECT_EQ(d.GBUD3->title(), "Select Component to Program");
  EXPECT_TRUE(d.OKBtn->isDefault());

  struct {
    QCheckBox* box;
    const char* caption;
  } boxes[] = {{d.CBMB, "Program Motherboard"}, {d.CBMBMCU, "MCU"},   {d.CBMBPROM1, "PROM 1"},
               {d.CBMBPROM2, "PROM 2"},         {d.CBMBCPLD, "CPLD"}, {d.CBMBEDID, "EDID"},
               {d.CBDVI, "Program DVI"}};
  for (const auto& b : boxes) {
    EXPECT_EQ(b.box->text(), b.caption);
    EXPECT_TRUE(b.box->isEnabled()) << b.caption;
  }
  // Two columns: MCU, PROM 1, PROM 2 left; EDID above CPLD right.
  EXPECT_EQ(d.CBMBMCU->x(), d.CBMBPROM2->x());
  EXPECT_EQ(d.CBMBEDID->x(), d.CBMBCPLD->x());
  EXPECT_GT(d.CBMBEDID->x(), d.CBMBMCU->x());
  EXPECT_LT(d.CBMBEDID->y(), d.CBMBCPLD->y());
  EXPECT_LT(d.CBMB->y(), d.GBUD3->y());

  // Keyboard order MCU, PROM 1, PROM 2, CPLD, EDID.
  EXPECT_EQ(d.CBMBMCU->nextInFocusChain(), d.CBMBPROM1);
  EXPECT_EQ(d.CBMBPROM1->nextInFocusChain(), d.CBMBPROM2);
  EXPECT_EQ(d.CBMBPROM2->nextInFocusChain(), d.CBMBCPLD);
  EXPECT_EQ(d.CBMBCPLD->nextInFocusChain(), d.CBMBEDID);
}

TEST(ComponentSelection, ProgramMotherboardSwitchesAllFiveTogether) {
  UiApp();
  TCompSelDlg d;
  d.CBMBPROM1->click();  // one component alone
  EXPECT_EQ(Seen(d), (Boxes{true, true, false, true, true, true}));

  d.CBMB->click();
  EXPECT_EQ(Seen(d), (Boxes{false, false, false, false, false, false}));
  for (QCheckBox* b : {d.CBMBMCU, d.CBMBPROM1, d.CBMBPROM2, d.CBMBCPLD, d.CBMBEDID})
    EXPECT_FALSE(b->isEnabled());

  d.CBMB->click();
  EXPECT_EQ(Seen(d), (Boxes{true, true, true, true, true, true}));
  for (QCheckBox* b : {d.CBMBMCU, d.CBMBPROM1, d.CBMBPROM2, d.CBMBCPLD, d.CBMBEDID})
    EXPECT_TRUE(b->isEnabled());
}

TEST(ComponentSelection, OkClosesAndTheBoxesStay) {
  UiApp();
  TCompSelDlg d;
  d.show();
  d.CBMBEDID->click();
  d.OKBtn->click();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Accepted);
  d.show();
  d.close();
  EXPECT_EQ(Seen(d), (Boxes{true, true, true, true, true, false}));
}

}  // namespace
