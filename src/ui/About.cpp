#include "ui/About.h"

#include <QApplication>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "formats/text.h"
#include "version.h"

std::string FileVersionText(uint32_t ms, uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

bool ParseFileVersion(std::string_view text, uint32_t& ms, uint32_t& ls) {
  ms = ls = 0;
  if (text.empty()) return false;
  uint32_t parts[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4 && !text.empty(); ++i) {
    size_t dot = text.find('.');
    std::string_view part = text.substr(0, dot);
    if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos)
      return false;
    std::optional<int64_t> v = StrToInt(part, 0, 65535);
    if (!v) return false;
    parts[i] = static_cast<uint32_t>(*v);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (dot != std::string_view::npos && text.empty()) return false;
  }
  if (!text.empty()) return false;
  ms = parts[0] << 16 | parts[1];
  ls = parts[2] << 16 | parts[3];
  return true;
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setFixedSize(298, 209);

  // A raised panel inside a lowered frame.
  auto* outer = new QFrame(this);
  outer->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  outer->setGeometry(8, 8, 282, 153);
  Panel1 = new QFrame(outer);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setGeometry(2, 2, 278, 149);

  ProgramIcon = new QLabel(Panel1);
  ProgramIcon->setObjectName("ProgramIcon");
  ProgramIcon->setGeometry(8, 8, 65, 57);
  ProgramIcon->setScaledContents(true);
  QIcon icon = QApplication::windowIcon();
  if (icon.isNull()) icon = style()->standardIcon(QStyle::SP_ComputerIcon);
  ProgramIcon->setPixmap(icon.pixmap(64, 64));

  LTitle = new QLabel(Panel1);
  LTitle->setObjectName("LTitle");
  LTitle->setGeometry(88, 16, 182, 20);
  QFont bold = LTitle->font();
  bold.setBold(true);
  LTitle->setFont(bold);
  LVersion = new QLabel(Panel1);
  LVersion->setObjectName("LVersion");
  LVersion->setGeometry(88, 44, 182, 16);
  LComment = new QLabel(QStringLiteral("Firmware update tool for the Qubra family"), Panel1);
  LComment->setObjectName("LComment");
  LComment->setGeometry(8, 84, 262, 48);
  LComment->setWordWrap(true);

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  OKButton->setGeometry(111, 172, 75, 25);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  FormCreate();
}

void TAboutBox::FormCreate() {
  const QString title = QStringLiteral(QUBRA_PRODUCT);
  setWindowTitle(QStringLiteral("About \"") + title + QStringLiteral("\""));
  LTitle->setText(title);
  uint32_t ms, ls;
  std::string version = ParseFileVersion(QUBRA_VERSION, ms, ls) ? FileVersionText(ms, ls) : "";
  LVersion->setText(QStringLiteral("Version : ") + QString::fromStdString(version));
}
