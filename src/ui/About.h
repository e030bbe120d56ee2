#pragma once

#include <QDialog>
#include <cstdint>
#include <string>
#include <string_view>

class QFrame;
class QLabel;
class QPushButton;

// The four-part file version: high and low 16 bits of the most significant number, then of the
// least significant one, in decimal ("1.30.2.1").
std::string FileVersionText(uint32_t ms, uint32_t ls);

// Parses the compiled-in "major.minor.release.build" into the two numbers. A missing part is
// 0; false when the text is empty or a part is not a number from 0 to 65535.
bool ParseFileVersion(std::string_view text, uint32_t& ms, uint32_t& ls);

// The About box: program icon, title and version. One instance, created at program start.
class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QFrame* Panel1;
  QLabel* ProgramIcon;
  QLabel* LTitle;
  QLabel* LVersion;
  QLabel* LComment;
  QPushButton* OKButton;

 private:
  void FormCreate();
};
