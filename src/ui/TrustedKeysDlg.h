#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "seal/TrustedKeys.h"

class QLabel;
class QPushButton;
class QTreeWidget;

// Asks for a public key file: the path chosen, "" when cancelled.
using TKeyFileDialog = std::function<std::string(QWidget* parent)>;
// The toolkit's standard file dialog, for *.pub files.
std::string StandardKeyFileDialog(QWidget* parent);

// Settings > Trusted Keys...: the public keys whose seals are accepted, with the file each comes
// from, and "Add Key..." to copy one from a file into the user's key folder.
class TTrustedKeysDlg : public QDialog {
  Q_OBJECT

 public:
  // `key_folder` receives the keys added; "" offers no adding.
  TTrustedKeysDlg(TTrustPlaces places, std::string key_folder, QWidget* parent = nullptr);

  // Asks for a key file through KeyFileDialog and adds it; a file without a key is refused
  // with an error box.
  void AddKeyClick();

  TKeyFileDialog KeyFileDialog = StandardKeyFileDialog;
  std::function<void()> OnKeysChanged;  // after a key was added

  QTreeWidget* Keys = nullptr;  // key id, file
  QLabel* Problems = nullptr;   // key files that could not be read
  QPushButton* AddKey = nullptr;
  QPushButton* CloseButton = nullptr;

 private:
  void ShowKeys();

  TTrustPlaces Places;
  std::string KeyFolder;
};
