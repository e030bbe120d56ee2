#pragma once

#include <QDateTime>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "line/DeviceRow.h"
#include "records/RunReport.h"
#include "sys/Child.h"

// A device's run in a child of its own: how it is started, what it reports, and the record the
// line writes when the child could write none.

// The child's last run.
struct TDeviceRun {
  std::unique_ptr<TChild> Process;
  int64_t StartedMs = 0;  // on the line's clock
  QDateTime Start;        // invalid until it starts
  bool StopAsked = false;
  int64_t StopAskedMs = 0;  // on the line's clock
  int KilledBy = 0;         // the signal that ended it
};

// One device of the line: as the list gives it, as the line shows it, and its child.
struct TDeviceSlot {
  TLineDevice Device;
  TDeviceRow Row;
  TDeviceRun Run;
};

// The child of `device`: `program` --batch --events with the device's name and link, then the
// arguments every child shares. The child stops, its record written, when the line goes.
TChildCommand DeviceCommand(const std::string& program, const std::vector<std::string>& shared,
                            const TLineDevice& device);
// Takes a line of the child's stdout into its row; false when it is not an event.
bool ApplyEventLine(TDeviceRow& row, const std::string& line);

// What the line knows of a run that ended without its result (killed, crashed, never started):
// `exit_status` below 0 when it has none.
TLostRun LostRun(const TDeviceSlot& slot, const TSettingsLines& settings, const std::string& script,
                 int exit_status);

// The report file the children append to, opened once the line has a record of its own for it.
class TLostRecords {
 public:
  // False, with the reason, when the record could not be written.
  bool Write(const std::string& path, const QJsonObject& record, std::string& failure);

 private:
  std::unique_ptr<TReportFile> Report;
};
