#pragma once

#include <string>

// Where a station's history goes: `sqlite:PATH`, `postgresql://user@host:port/db`, or `none`.
// A password never appears here: PostgreSQL's own client library takes it from ~/.pgpass or
// PGPASSWORD, so it is neither printed nor recorded in the spool.
struct THistoryUrl {
  enum EKind { hkNONE, hkSQLITE, hkPOSTGRESQL };
  EKind Kind = hkNONE;
  std::string Path;  // SQLite's file, absolute
  std::string User, Host, Database;
  int Port = -1;  // -1: the server's default
  // Driver options, `key='value'` pairs with each value quoted, so that no value adds a setting.
  std::string Options;
  std::string Text;   // the URL to reach the same database again (the spool keeps it)
  std::string Shown;  // the URL for messages: no option values
};

// `text` empty means the default database. False with `error` naming the URL (never a
// password nor an option's value) and what is wrong.
[[nodiscard]] bool ParseHistoryUrl(const std::string& text, THistoryUrl& out, std::string& error);

// `text` as a message may show it: a password and the options' values masked.
std::string ShownHistoryUrl(const std::string& text);

// $XDG_DATA_HOME/qubra-updater/ (else ~/.local/share/qubra-updater/), with the trailing '/'.
std::string HistoryFolder();
std::string DefaultHistoryDb();     // HistoryFolder() + "history.sqlite"
std::string DefaultHistorySpool();  // HistoryFolder() + "history.spool"
