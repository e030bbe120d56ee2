#include "ui/RunRecordView.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include "formats/text.h"

namespace {

// What a record holds, in the order a person asks it; what else it holds comes after.
const char* const kOrder[] = {"name",      "result",  "error",   "error_script", "start",
                              "end",       "seconds", "station", "device",       "link",
                              "transport", "script",  "seal",    "exit_status",  "host",
                              "program",   "version", "id"};
const char* const kLists[] = {"instructions", "files", "versions_read", "versions_written"};

// Text from outside (a device's name, an error) shown with its control characters escaped.
QString Shown(const QString& text) {
  return QString::fromStdString(EscapeControls(text.toStdString()));
}

QString Value(const QJsonValue& v) {
  if (v.isObject()) {
    QStringList parts;
    const QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it)
      if (!it.value().toVariant().toString().isEmpty()) parts << it.key() + " " + Value(it.value());
    return parts.join(", ");
  }
  if (v.isDouble()) return QString::number(v.toDouble());
  if (v.isNull()) return QStringLiteral("-");
  return Shown(v.toVariant().toString());
}

// What an instruction did first, where it stood after.
const QStringList kColumns = {"text", "result",  "reason", "engine",   "card",   "script",
                              "line", "retries", "sent",   "received", "seconds"};

QTableWidget* Table(const QJsonArray& rows, QWidget* parent) {
  QStringList columns;
  for (const QString& c : kColumns)
    for (const QJsonValue& r : rows)
      if (r.toObject().contains(c) && !columns.contains(c)) columns << c;
  for (const QJsonValue& r : rows)
    for (const QString& key : r.toObject().keys())
      if (!columns.contains(key)) columns << key;
  auto* table =
      new QTableWidget(static_cast<int>(rows.size()), static_cast<int>(columns.size()), parent);
  table->setHorizontalHeaderLabels(columns);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  for (int r = 0; r < table->rowCount(); ++r)
    for (int c = 0; c < table->columnCount(); ++c)
      table->setItem(r, c, new QTableWidgetItem(Value(rows[r].toObject()[columns[c]])));
  table->resizeColumnsToContents();
  table->horizontalHeader()->setStretchLastSection(true);
  return table;
}

}  // namespace

TRunRecordView::TRunRecordView(const QJsonObject& record, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Run ") + record["id"].toString());
  auto* column = new QVBoxLayout(this);
  auto* fields = new QFormLayout;
  QStringList shown;
  auto add = [&](const QString& key) {
    if (shown.contains(key) || !record.contains(key)) return;
    shown << key;
    auto* value = new QLabel(Value(record[key]), this);
    value->setWordWrap(true);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fields->addRow(key + ":", value);
  };
  for (const char* key : kOrder) add(key);
  for (const char* key : kLists) shown << key;
  for (const QString& key : record.keys()) add(key);
  column->addLayout(fields);
  for (const char* list : kLists) {
    const QJsonArray rows = record[list].toArray();
    if (rows.isEmpty()) continue;
    column->addWidget(new QLabel(QString("%1 (%2):").arg(list).arg(rows.size()), this));
    QTableWidget* table = Table(rows, this);
    table->setObjectName(list);
    if (QString(list) == "instructions") Instructions = table;
    column->addWidget(table, 1);
  }
  resize(760, 560);
}
