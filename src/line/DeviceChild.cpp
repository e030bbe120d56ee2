#include "line/DeviceChild.h"

#include <signal.h>

#include <QJsonDocument>

TChildCommand DeviceCommand(const std::string& program, const std::vector<std::string>& shared,
                            const TLineDevice& device) {
  TChildCommand command;
  command.Program = program;
  // "--option=value" keeps a name or path that begins with "-" a value.
  command.Args = {"--batch", "--events", "--name=" + device.Name, "--link=" + device.Link.Text};
  command.Args.insert(command.Args.end(), shared.begin(), shared.end());
  // A device is never left updating unwatched: when the line goes, its child stops as STOP
  // stops a run, and writes its record.
  command.ParentDeathSignal = SIGHUP;
  return command;
}

bool ApplyEventLine(TDeviceRow& row, const std::string& line) {
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
  if (!doc.isObject()) return false;
  ApplyEvent(row, doc.object());
  return true;
}

TLostRun LostRun(const TDeviceSlot& slot, const TSettingsLines& settings, const std::string& script,
                 int exit_status) {
  const TDeviceRow& row = slot.Row;
  TLostRun run;
  run.Name = row.Name;
  run.Link = DescribeConnection(ConnectionFromLink(slot.Device.Link, settings));
  run.Script = script;
  run.End = QDateTime::currentDateTimeUtc();
  run.Start = slot.Run.Start.isValid() ? slot.Run.Start : run.End;
  run.Outcome = row.State == dsCOMPLETED ? roCOMPLETED
                : row.State == dsSTOPPED ? roSTOPPED
                                         : roERROR;
  if (row.State == dsFAILED)
    run.Error = row.Error;
  else if (exit_status < 0 && slot.Run.KilledBy > 0)
    run.Error = KilledText(slot.Run.KilledBy);
  run.ExitStatus = exit_status;
  return run;
}

bool TLostRecords::Write(const std::string& path, const QJsonObject& record, std::string& failure) {
  if (!Report) {
    Report = std::make_unique<TReportFile>();
    if (!Report->Open(path, failure)) {
      Report.reset();
      return false;
    }
  }
  return Report->Append(record, failure);
}
