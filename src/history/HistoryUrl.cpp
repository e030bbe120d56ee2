#include "history/HistoryUrl.h"

#include <QUrl>
#include <QUrlQuery>

#include "sys/Files.h"

namespace {

bool Refuse(const std::string& shown, const std::string& why, std::string& error) {
  error = "history database " + shown + ": " + why;
  return false;
}

// A value as libpq's connection string reads it: quoted, its quotes and backslashes escaped.
std::string Quoted(const QString& value) {
  std::string out = "'";
  for (const char c : value.toStdString()) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// libpq options a URL may carry after '?'. A password is refused by name, as in the URL.
bool PostgresOptions(const QUrl& url, const std::string& shown, std::string& options,
                     std::string& error) {
  static const char* const allowed[] = {"sslmode", "connect_timeout", "application_name",
                                        "sslrootcert", "sslcert", "sslkey", "passfile"};
  bool timeout = false;
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
    if (key == "password")
      return Refuse(shown, "holds a password; put it in ~/.pgpass or PGPASSWORD instead", error);
    bool known = false;
    for (const char* a : allowed) known = known || key == QLatin1String(a);
    // The name alone: a mistyped key may hold what was meant to stay secret.
    if (!known) return Refuse(shown, "unknown option " + key.toStdString(), error);
    // The driver turns ';' into a separator before libpq reads the string.
    if (value.contains(';') || value.contains(QChar(0)))
      return Refuse(shown, "option " + key.toStdString() + " holds ';'", error);
    timeout = timeout || key == "connect_timeout";
    options += (options.empty() ? "" : ";") + key.toStdString() + "=" + Quoted(value);
  }
  // A server that does not answer must not hold a run for long.
  if (!timeout) options += (options.empty() ? "" : ";") + std::string("connect_timeout='5'");
  return true;
}

bool ParsePostgres(const std::string& text, THistoryUrl& out, std::string& error) {
  const std::string shown = ShownHistoryUrl(text);
  const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
  // QUrl's own reason quotes the URL: it is not passed on.
  if (!url.isValid()) return Refuse(shown, "not a valid URL", error);
  if (!url.password().isEmpty())
    return Refuse(shown, "holds a password; put it in ~/.pgpass or PGPASSWORD instead", error);
  out.Kind = THistoryUrl::hkPOSTGRESQL;
  out.User = url.userName().toStdString();
  out.Host = url.host().toStdString();
  out.Port = url.port(-1);
  out.Database = url.path().mid(1).toStdString();
  out.Text = text;
  out.Shown = shown;
  if (out.Database.empty() || out.Database.find('/') != std::string::npos)
    return Refuse(shown, "names no database (postgresql://user@host:port/db)", error);
  return PostgresOptions(url, shown, out.Options, error);
}

}  // namespace

std::string ShownHistoryUrl(const std::string& text) {
  const size_t query = text.find('?');
  std::string shown = text.substr(0, query);
  const size_t scheme = shown.find("://");
  const size_t at = shown.rfind('@');
  if (scheme != std::string::npos && at != std::string::npos && at > scheme) {
    const size_t colon = shown.find(':', scheme + 3);
    if (colon < at) shown = shown.substr(0, colon) + ":***" + shown.substr(at);
  }
  return query == std::string::npos ? shown : shown + "?...";
}

bool ParseHistoryUrl(const std::string& text, THistoryUrl& out, std::string& error) {
  out = THistoryUrl{};
  if (text.empty()) {
    out.Kind = THistoryUrl::hkSQLITE;
    out.Path = DefaultHistoryDb();
    out.Text = out.Shown = "sqlite:" + out.Path;
    return true;
  }
  if (text == "none") {
    out.Text = out.Shown = text;
    return true;
  }
  if (text.rfind("sqlite:", 0) == 0) {
    out.Kind = THistoryUrl::hkSQLITE;
    out.Path = text.substr(7);
    if (out.Path.empty()) return Refuse(text, "names no file (sqlite:PATH)", error);
    // Kept in the spool and sent later, perhaps from another folder.
    if (out.Path[0] != '/') out.Path = CurrentFolder() + out.Path;
    out.Text = out.Shown = "sqlite:" + out.Path;
    return true;
  }
  if (text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0)
    return ParsePostgres(text, out, error);
  return Refuse(ShownHistoryUrl(text), "not sqlite:PATH, postgresql://user@host:port/db or none",
                error);
}

std::string HistoryFolder() {
  std::string base = EnvironmentValue("XDG_DATA_HOME");
  // A relative XDG path is to be ignored, as the base directory rules say.
  if (base.empty() || base[0] != '/') base = EnvironmentValue("HOME") + "/.local/share";
  if (base.back() != '/') base += '/';
  return base + "qubra-updater/";
}

std::string DefaultHistoryDb() {
  return HistoryFolder() + "history.sqlite";
}

std::string DefaultHistorySpool() {
  return HistoryFolder() + "history.spool";
}
