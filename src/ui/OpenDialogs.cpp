#include "ui/OpenDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

void CloseOpenDialogs() {
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
    // One that refuses to go must not hold the stop up for ever.
    if (QApplication::activeModalWidget() == modal) return;
  }
}

void ShowStartError(const std::string& error) {
  QMessageBox::critical(nullptr, "Varnell Qubra Updater", QString::fromStdString(error),
                        QMessageBox::Ok);
}
