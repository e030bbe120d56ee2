#pragma once

#include <string>

// Where a station's history goes: `sqlite:PATH`, `postgresql://user@host:port/db`, or `none`.
// A password never appears here: PostgreSQL's own client library takes it from ~/.pgpass or
// PGPASSWORD, so it is neither printed nor recorded in the spool.
struct THistoryUrl {
  enum EKind { hkNONE, hkSQLITE, hkPOSTGRESQL };
  EKind Kind = hkNONE;
  std::string Path;  // SQLite's file
  std::string User, Host, Database;
  int Port = -1;        // -1: the server's default
  std::string Options;  // driver options, `key=value;...`
  std::string Text;     // the URL as given, for messages and the spool
};

// `text` empty means the default database. False with `error` naming the URL and what is wrong.
[[nodiscard]] bool ParseHistoryUrl(const std::string& text, THistoryUrl& out, std::string& error);

// $XDG_DATA_HOME/qubra-updater/ (else ~/.local/share/qubra-updater/), with the trailing '/'.
std::string HistoryFolder();
std::string DefaultHistoryDb();     // HistoryFolder() + "history.sqlite"
std::string DefaultHistorySpool();  // HistoryFolder() + "history.spool"
