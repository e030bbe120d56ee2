#include "ui/TrustedKeysDlg.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString Path(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

std::string StandardKeyFileDialog(QWidget* parent) {
  const QString file = QFileDialog::getOpenFileName(
      parent, QStringLiteral("Add Trusted Key"), QString(), QStringLiteral("Public keys (*.pub)"));
  return QFile::encodeName(file).toStdString();
}

TTrustedKeysDlg::TTrustedKeysDlg(TTrustPlaces places, std::string key_folder, QWidget* parent)
    : QDialog(parent), Places(std::move(places)), KeyFolder(std::move(key_folder)) {
  setWindowTitle(QStringLiteral("Trusted Keys"));
  auto* column = new QVBoxLayout(this);
  Keys = new QTreeWidget(this);
  Keys->setObjectName("Keys");
  Keys->setHeaderLabels({QStringLiteral("Key"), QStringLiteral("File")});
  Keys->setRootIsDecorated(false);
  Keys->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  Keys->setMinimumSize(520, 160);
  column->addWidget(Keys);
  Problems = new QLabel(this);
  Problems->setObjectName("Problems");
  Problems->setWordWrap(true);
  column->addWidget(Problems);
  auto* row = new QHBoxLayout;
  AddKey = new QPushButton(QStringLiteral("&Add Key..."), this);
  AddKey->setObjectName("AddKey");
  AddKey->setEnabled(!KeyFolder.empty());
  AddKey->setToolTip(Path(KeyFolder));
  CloseButton = new QPushButton(QStringLiteral("Close"), this);
  CloseButton->setObjectName("CloseButton");
  CloseButton->setDefault(true);
  row->addWidget(AddKey);
  row->addStretch();
  row->addWidget(CloseButton);
  column->addLayout(row);
  connect(AddKey, &QPushButton::clicked, this, &TTrustedKeysDlg::AddKeyClick);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);
  ShowKeys();
}

void TTrustedKeysDlg::ShowKeys() {
  Keys->clear();
  const TTrustStore store = LoadTrustedKeys(Places);
  for (const TTrustedKey& key : store.Keys) {
    Keys->addTopLevelItem(
        new QTreeWidgetItem({QString::fromStdString(KeyIdText(key.Key.Id)), Path(key.Source)}));
  }
  QStringList problems;
  for (const std::string& error : store.Errors) problems << Path(error);
  Problems->setText(problems.join('\n'));
  Problems->setVisible(!problems.isEmpty());
  // The view lays its rows out late, on a timer: until then a repaint draws the old rows
  // beside the new column widths. Laid out now, the next paint is the list as it stands.
  Keys->doItemsLayout();
  Keys->viewport()->update();
}

void TTrustedKeysDlg::AddKeyClick() {
  const std::string path = KeyFileDialog ? KeyFileDialog(this) : std::string();
  if (path.empty() || KeyFolder.empty()) return;
  std::string key_id, error;
  if (!AddTrustedKey(path, KeyFolder, key_id, error)) {
    QMessageBox::critical(this, QStringLiteral("Error"), Path(error), QMessageBox::Ok);
    return;
  }
  ShowKeys();
  if (OnKeysChanged) OnKeysChanged();
}
