#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "history/HistoryUrl.h"

// A station's history in its own terms: runs kept, imported, listed and summarized. What
// database holds them, and how it is asked, is the implementation's.

// Which runs a question is about. Times are UTC text as ParseWhen gives them.
struct THistoryFilter {
  std::string Who{};      // a device name (`*` and `?` as in the shell) or a device id; "" all
  QString Since{};        // runs started from then on; "" no bound
  QString Until{};        // runs started before then; "" no bound
  std::string Result{};   // completed, error or stopped; "" all
  std::string Station{};  // one station's runs; "" every station's
};

// One run as listed, newest first.
struct THistoryRun {
  QString Id, Station, Started, Ended;  // times as UTC text
  double Seconds = 0;
  QString Name, DeviceType, DeviceId, Link, Script, Package, SealKeyId, ManifestSha256, Result,
      Error, FailedInstruction;
  QByteArray Record;  // the whole record as JSON, when asked for
};

// What a summary counts per group.
enum class EHistoryGroup { hgDAY, hgSTATION, hgPACKAGE, hgINSTRUCTION, hgDAYINSTRUCTION };
// The two parts of a key by day and instruction.
constexpr char kKeyParts = '\x1f';
struct THistoryGroup {
  std::string Key;  // "" where the runs have none (no failed instruction)
  int Runs = 0, Completed = 0, Errors = 0, Stopped = 0;
  double MedianSeconds = 0;
  std::vector<std::string> MostFailedAt;  // more than one when they failed as often
  int MostFailedTimes = 0;
  double SlowestSeconds = 0;
};

// How long one statement may take before the database is taken as stuck.
constexpr int kRunKeepSeconds = 5;    // a run's record, and the spool's records
constexpr int kQuestionSeconds = 60;  // questions and imports

class THistory {
 public:
  virtual ~THistory() = default;

  // One run record (the report's JSON with "id" and "station"). `added` is false when a run of
  // that id is there already, which is no error.
  [[nodiscard]] virtual bool Keep(const QJsonObject& record, bool& added, std::string& error) = 0;
  // Many in one transaction, all or none; `added` counts those that were not there.
  [[nodiscard]] virtual bool Import(const std::vector<QJsonObject>& records, int& added,
                                    std::string& error) = 0;
  // The runs the filter chooses, newest first; `limit` 0 all; `records` brings the whole
  // records too.
  [[nodiscard]] virtual bool List(const THistoryFilter& filter, int limit, bool records,
                                  std::vector<THistoryRun>& runs, std::string& error) = 0;
  // Per group the runs, how they ended, the median and slowest seconds and the instruction
  // failed at most.
  // Days are UTC days; groups come in the order of their keys.
  [[nodiscard]] virtual bool Summarize(const THistoryFilter& filter, EHistoryGroup by,
                                       std::vector<THistoryGroup>& groups,
                                       std::string& error) = 0;
  // Each statement from now on gets `seconds`.
  [[nodiscard]] virtual bool Limit(int seconds, std::string& error) = 0;
  // Whether the last failure was the database not answering in time or not being reached, as
  // opposed to refusing what it was given.
  virtual bool Unreachable() const = 0;
  virtual const THistoryUrl& Where() const = 0;
};

// Connects to `url`'s database and brings its schema up to date; creates the default SQLite
// file, owner-only, on first use. Each statement gets `seconds`. A database of a newer schema
// is refused and left as it is. REQUIRES: url is not `none`.
[[nodiscard]] bool OpenHistory(const THistoryUrl& url, int seconds,
                               std::unique_ptr<THistory>& history, std::string& error);

// WHEN as the UTC text the runs' start times are kept in: YYYY-MM-DD[ HH:MM[:SS]] (local
// time), today, yesterday, Nd or Nh ago; with `until` a day alone counts whole. False with
// `error` saying what WHEN may be.
[[nodiscard]] bool ParseWhen(const std::string& text, bool until, const QDateTime& now,
                             QString& utc, std::string& error);

// A new run's id.
QString NewRunId();
// The id of a record that has none: the same content always gives the same id.
QString ContentRunId(const QJsonObject& record);
