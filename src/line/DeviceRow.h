#pragma once

#include <QJsonObject>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "line/DeviceList.h"

enum TDeviceState : uint8_t { dsWAITING, dsRUNNING, dsCOMPLETED, dsFAILED, dsSTOPPED };
const char* DeviceStateText(TDeviceState state);

// What the line shows of one device.
struct TDeviceRow {
  std::string Name;
  std::string Link;  // as the list gives it
  TDeviceState State = dsWAITING;
  std::string Operation;  // the instruction being carried out
  std::string Card;
  int Percent = 0;  // of the bytes the run will send: OverallPosition of OverallMax
  double Seconds = 0;
  std::string Error;          // what failed
  std::string ErrorScript;    // where
  bool Ended = false;         // the child has reported its result
  std::string Result;         // the child's own: "completed", "error" or "stopped"
  std::string ReportFailure;  // why the device's record could not be written
  bool Connected = false;  // its link has connected in this run
  // Why the link is being tried again ("Connection refused"); "" once the device has answered.
  std::string Trouble;
  // The run's overall progress as the child reports it: bytes sent of those it will send
  // (never going back), and the seconds it estimates are left, below 0 while unknown.
  int64_t OverallPosition = 0;
  int64_t OverallMax = 0;
  double EtaSeconds = -1;
  // The run's status lines, the latest last.
  std::vector<std::string> Status;
  // Waiting for its turn to start.
  bool Queued = false;
  // Why the list's check refuses the device; "" when it is sound.
  std::string Problem;
};

// The rows of a line in order, wherever they are kept, without copying them: a vector of rows,
// or of pointers to what holds its row as `Row`.
class TRows {
  using TAt = const TDeviceRow& (*)(const void* items, size_t i);

 public:
  TRows(const std::vector<TDeviceRow>& rows)  // NOLINT: a vector of rows is rows
      : Items(rows.data()), Count(rows.size()), At(&RowOf<TDeviceRow>) {}
  template <class T>
  TRows(const std::vector<std::unique_ptr<T>>& holders)
      : Items(holders.data()), Count(holders.size()), At(&HeldRow<T>) {}

  size_t size() const { return Count; }
  bool empty() const { return Count == 0; }
  const TDeviceRow& operator[](size_t i) const { return At(Items, i); }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TDeviceRow;
    using difference_type = std::ptrdiff_t;
    using pointer = const TDeviceRow*;
    using reference = const TDeviceRow&;
    iterator(const void* items, TAt at, size_t i) : Items(items), At(at), I(i) {}
    reference operator*() const { return At(Items, I); }
    pointer operator->() const { return &At(Items, I); }
    iterator& operator++() {
      ++I;
      return *this;
    }
    iterator operator++(int) {
      iterator was = *this;
      ++I;
      return was;
    }
    bool operator==(const iterator& o) const { return I == o.I && Items == o.Items; }
    bool operator!=(const iterator& o) const { return !(*this == o); }

   private:
    const void* Items;
    TAt At;
    size_t I;
  };
  iterator begin() const { return {Items, At, 0}; }
  iterator end() const { return {Items, At, Count}; }

 private:
  template <class T>
  static const TDeviceRow& RowOf(const void* items, size_t i) {
    return static_cast<const T*>(items)[i];
  }
  template <class T>
  static const TDeviceRow& HeldRow(const void* items, size_t i) {
    return static_cast<const std::unique_ptr<T>*>(items)[i]->Row;
  }
  const void* Items;
  size_t Count;
  TAt At;
};

// The state as the line shows it: "connecting" for a device running whose link has not
// connected yet.
const char* RowStateText(const TDeviceRow& row);
// A device's row before any run: its name and link as the list gives them.
TDeviceRow FreshRow(const TLineDevice& device);
// The device runs or waits for its turn.
bool DeviceBusy(const TDeviceRow& row);
// The device's last run has begun: it has a progress and a time to show.
bool DeviceStarted(const TDeviceRow& row);
// The check refuses it and nothing runs it: it waits for an edit, not its turn.
bool DeviceRefused(const TDeviceRow& row);

// Takes one --events object of the device's child into its row.
void ApplyEvent(TDeviceRow& row, const QJsonObject& event);
// The row of a device whose child has ended (`exit_code`, or the signal that ended it when
// `crashed`; -1 when it never started), after a stop was asked when `stop_asked`: its own result
// decides, or else how it ended. A failure without a reason of its own takes the first line of
// the child's `stderr_text`.
void EndRow(TDeviceRow& row, int exit_code, bool crashed, bool stop_asked,
            const std::string& stderr_text);
// "retrying: " and the cause while a running device's link is tried again; "" otherwise.
std::string RetryingText(const TDeviceRow& row);
// How a child killed by `signal_number` is described.
std::string KilledText(int signal_number);

// One plain line for a device that starts or ends (not on a terminal).
std::string FormatProgressLine(const TDeviceRow& row);
// The line's summary, how many devices are in each state. skEND, once --line is over: the
// completed, failed and stopped ones, then a line for each that failed (with its error), for
// each stopped after it started (whether it may be partly updated) and for each record not
// written. skLIVE, the window's, while the line works: every state, and how many
// the list's check refuses.
enum TSummaryKind : uint8_t { skEND, skLIVE };
std::string FormatSummary(const TRows& rows, TSummaryKind kind);
// How many rows are in each state, indexed by TDeviceState.
std::array<int, 5> CountStates(const TRows& rows);
// The time left of the whole line: the devices running end as they expect, and those waiting
// for their turn take the first slots that come free (at most `jobs` at a time, 0 for all),
// each as long as the devices completed took, or else as those running expect to take.
// 0 when nothing runs or waits; below 0 when it cannot be told.
double LineEtaSeconds(const TRows& rows, int jobs);
