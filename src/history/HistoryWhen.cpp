#include <QRegularExpression>

#include "history/History.h"

bool ParseWhen(const std::string& text, bool until, const QDateTime& now, QString& utc,
               std::string& error) {
  const QString when = QString::fromStdString(text).trimmed();
  QDateTime t;
  bool day = false;
  static const QRegularExpression ago("^(\\d{1,5})([dh])$");
  if (const auto m = ago.match(when); m.hasMatch()) {
    const qint64 n = m.captured(1).toLongLong();
    t = m.captured(2) == "d" ? now.addDays(-n) : now.addSecs(-3600 * n);
  } else if (when == "today" || when == "yesterday") {
    t = QDateTime(now.date().addDays(when == "today" ? 0 : -1), QTime(0, 0));
    day = true;
  } else if (const QDate d = QDate::fromString(when, "yyyy-MM-dd"); d.isValid()) {
    t = QDateTime(d, QTime(0, 0));
    day = true;
  } else {
    for (const char* form :
         {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm"})
      if (!t.isValid()) t = QDateTime::fromString(when, form);
  }
  if (!t.isValid()) {
    error = "not a time (YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS], today, yesterday, Nd, Nh)";
    return false;
  }
  if (until && day) t = t.addDays(1);
  utc = t.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ");
  return true;
}
