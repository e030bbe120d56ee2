#pragma once

#include <QJsonObject>
#include <string>
#include <vector>

// Run records a database could not take, kept as JSON lines ({"db": URL, "record": {...}})
// in a file beside the default database until they can be sent.

// Appends one record meant for `url` (its text, never a password) in one piece.
[[nodiscard]] bool SpoolRun(const std::string& spool, const std::string& url,
                            const QJsonObject& record, std::string& error);

struct TSyncCount {
  int Sent = 0;                      // added to their database
  int Already = 0;                   // their database had them
  int Kept = 0;                      // still in the spool
  std::vector<std::string> Reasons;  // why, one per database that failed
};
// Sends each spooled record to the database it was meant for; keeps those that still fail.
// A record sent twice is added once, so an interrupted sync loses nothing.
[[nodiscard]] bool SyncSpool(const std::string& spool, TSyncCount& count, std::string& error);

// What a run does with its record: into `url`'s database ("" the default, `none` nowhere), or,
// when that fails, into the default spool. False when the record is not in the database, with
// `notice` the one line the operator sees:
// "history not written (REASON): kept in SPOOL".
[[nodiscard]] bool KeepRun(const std::string& url, const QJsonObject& record, std::string& notice);
