#include "ui/PackageFolder.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSettings>

#include "app/ProgramDir.h"

namespace {

constexpr const char* kKey = "PackageFolder";

QSettings UserSettings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Varnell", "qubra-updater");
}

bool HoldsAScript(const std::string& dir, std::string& error) {
  return UsablePackageFolder(dir, {"script.ini", "readid.ini"}, error);
}

}  // namespace

std::string RememberedPackageFolder() {
  return QFile::encodeName(UserSettings().value(kKey).toString()).toStdString();
}

void RememberPackageFolder(const std::string& dir) {
  QSettings settings = UserSettings();
  settings.setValue(kKey, QFile::decodeName(QByteArray::fromStdString(dir)));
}

std::string StandardFolderDialog(QWidget* parent, const std::string& start) {
  // Says what to pick in its caption and beside the name field, whichever the desktop shows.
  QFileDialog dialog(parent, "Package Folder: choose the folder that holds script.ini",
                     QFile::decodeName(QByteArray::fromStdString(start)));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setLabelText(QFileDialog::FileName, "Folder with script.ini:");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

std::string AskPackageFolder(QWidget* parent, const std::string& start,
                             const TFolderDialog& dialog) {
  const std::string dir = dialog(parent, start);
  if (dir.empty()) return {};
  if (std::string problem; !HoldsAScript(dir, problem)) {
    QMessageBox::warning(parent, "Package Folder", QString::fromStdString(problem));
    return {};
  }
  return dir.back() == '/' ? dir : dir + "/";
}

void ChooseStartFolder(QWidget* parent, const TFolderDialog& dialog) {
  if (!ProgramDir().empty()) return;
  std::string dir = RememberedPackageFolder();
  if (std::string ignored; dir.empty() || !HoldsAScript(dir, ignored))
    dir = AskPackageFolder(parent, dir.empty() ? QDir::homePath().toStdString() : dir, dialog);
  if (dir.empty()) return;
  SetProgramDir(dir);
  RememberPackageFolder(ProgramDir());
}
