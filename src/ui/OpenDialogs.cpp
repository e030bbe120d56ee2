#include "ui/OpenDialogs.h"

#include <QMessageBox>

void ShowStartError(const std::string& error) {
  QMessageBox::critical(nullptr, "Varnell Qubra Updater", QString::fromStdString(error),
                        QMessageBox::Ok);
}
