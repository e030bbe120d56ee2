#pragma once

#include <QJsonObject>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "history/History.h"

// Run records a database could not take, kept as JSON lines ({"db": URL, "record": {...}})
// in a file beside the default database until they can be sent.

// Past this size a record is no longer spooled: it is said lost instead of filling the disk.
constexpr uint64_t kSpoolMaxBytes = 64ull * 1024 * 1024;

// Appends one record meant for `url` (its text, never a password) as one whole line, or
// nothing.
[[nodiscard]] bool SpoolRun(const std::string& spool, const std::string& url,
                            const QJsonObject& record, std::string& error);

// The history of a URL, opened once per sync; nullptr with `why` when it cannot be.
using THistoryOpener = std::function<THistory*(const std::string& url, std::string& why)>;

struct TSyncCount {
  int Sent = 0;                      // added to their database
  int Already = 0;                   // their database had them
  int Kept = 0;                      // still in the spool
  int SetAside = 0;                  // lines that are no record, moved to SPOOL.refused
  bool Busy = false;                 // another sync was at work: nothing was done
  std::vector<std::string> Reasons;  // why, one per database that failed
};
// Sends each spooled record to the database it was meant for; keeps those that still fail,
// each once. One sync at a time: with `wait` false a sync already at work is left to it
// (`Busy`), else waited for a while. A database that fails to answer is not asked again for the
// other records of this sync.
[[nodiscard]] bool SyncSpool(const std::string& spool, bool wait, const THistoryOpener& open,
                             TSyncCount& count, std::string& error);
