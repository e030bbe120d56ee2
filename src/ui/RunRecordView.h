#pragma once

#include <QDialog>
#include <QJsonObject>

class QTableWidget;

// A run's record as a person reads it: its fields one per line, the most telling first, and
// its instructions as a table.
class TRunRecordView : public QDialog {
  Q_OBJECT

 public:
  explicit TRunRecordView(const QJsonObject& record, QWidget* parent = nullptr);

  QTableWidget* Instructions = nullptr;
};
