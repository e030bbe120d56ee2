#include "history/HistoryUrl.h"

#include <QUrl>
#include <QUrlQuery>
#include <cstdlib>

namespace {

bool Refuse(const std::string& text, const std::string& why, std::string& error) {
  error = "history database " + text + ": " + why;
  return false;
}

// libpq options a URL may carry after '?', as the driver takes them.
bool PostgresOptions(const QUrl& url, const std::string& text, std::string& options,
                     std::string& error) {
  static const char* const allowed[] = {"sslmode",     "connect_timeout", "application_name",
                                        "sslrootcert", "sslcert",         "sslkey"};
  bool timeout = false;
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
    bool known = false;
    for (const char* a : allowed) known = known || key == QLatin1String(a);
    if (!known) return Refuse(text, "unknown option " + key.toStdString(), error);
    if (value.contains(';'))
      return Refuse(text, "option " + key.toStdString() + " holds ';'", error);
    timeout = timeout || key == "connect_timeout";
    options += (options.empty() ? "" : ";") + (key + "=" + value).toStdString();
  }
  // A server that does not answer must not hold a run for long.
  if (!timeout) options += (options.empty() ? "" : ";") + std::string("connect_timeout=5");
  return true;
}

bool ParsePostgres(const std::string& text, THistoryUrl& out, std::string& error) {
  const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
  if (!url.isValid()) return Refuse(text, url.errorString().toStdString(), error);
  if (!url.password().isEmpty())
    return Refuse("postgresql://" + url.host().toStdString() + "/...",
                  "holds a password; put it in ~/.pgpass or PGPASSWORD instead", error);
  out.Kind = THistoryUrl::hkPOSTGRESQL;
  out.User = url.userName().toStdString();
  out.Host = url.host().toStdString();
  out.Port = url.port(-1);
  out.Database = url.path().mid(1).toStdString();
  out.Text = text;
  if (out.Database.empty() || out.Database.find('/') != std::string::npos)
    return Refuse(text, "names no database (postgresql://user@host:port/db)", error);
  return PostgresOptions(url, text, out.Options, error);
}

}  // namespace

bool ParseHistoryUrl(const std::string& text, THistoryUrl& out, std::string& error) {
  out = THistoryUrl{};
  if (text.empty()) {
    out.Kind = THistoryUrl::hkSQLITE;
    out.Path = DefaultHistoryDb();
    out.Text = "sqlite:" + out.Path;
    return true;
  }
  if (text == "none") {
    out.Text = text;
    return true;
  }
  if (text.rfind("sqlite:", 0) == 0) {
    out.Kind = THistoryUrl::hkSQLITE;
    out.Path = text.substr(7);
    out.Text = text;
    if (out.Path.empty()) return Refuse(text, "names no file (sqlite:PATH)", error);
    return true;
  }
  if (text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0)
    return ParsePostgres(text, out, error);
  return Refuse(text, "not sqlite:PATH, postgresql://user@host:port/db or none", error);
}

std::string HistoryFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  // A relative XDG path is to be ignored, as the base directory rules say.
  if (data && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home ? home : "") + "/.local/share";
  }
  if (base.back() != '/') base += '/';
  return base + "qubra-updater/";
}

std::string DefaultHistoryDb() {
  return HistoryFolder() + "history.sqlite";
}

std::string DefaultHistorySpool() {
  return HistoryFolder() + "history.spool";
}
