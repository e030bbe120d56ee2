#include "records/RunReport.h"

#include <QJsonDocument>
#include <QSysInfo>
#include <filesystem>

#include "formats/text.h"
#include "history/History.h"
#include "records/RunHistory.h"
#include "records/RunJson.h"
#include "version.h"

namespace {

QString Iso(const QDateTime& t) {
  return t.toString(Qt::ISODateWithMs);
}

double Seconds(qint64 ms) {
  return static_cast<double>(ms) / 1000.0;
}

// Records are read elsewhere and later: every path in them stands on its own.
void PutWholePath(QJsonObject& json, const QString& key, const std::string& path) {
  if (path.empty()) return PutPath(json, key, path);
  std::error_code ec;
  const std::filesystem::path whole = std::filesystem::absolute(path, ec);
  PutPath(json, key, ec ? path : whole.lexically_normal().string());
}

}  // namespace

TRunReport::TRunReport(std::string name, std::function<TLinkDescription()> link)
    : Name(std::move(name)), Link(std::move(link)) {}

void TRunReport::RunStarted(const std::string& script) {
  Start = QDateTime::currentDateTimeUtc();
  End = QDateTime();
  Clock.start();
  Files = Instructions = VersionsRead = VersionsWritten = QJsonArray();
  Outcome = roNONE;
  const TLinkDescription link = Link ? Link() : TLinkDescription{};
  Fields = {{"id", NewRunId()},
            {"station", RunStation()},
            {"program", QStringLiteral(QUBRA_PRODUCT)},
            {"version", QStringLiteral(QUBRA_VERSION)},
            {"host", QSysInfo::machineHostName()},
            {"transport", JsonText(link.Transport)},
            {"device", DeviceJson(TDeviceReport{})},
            {"seal", QJsonValue()}};
  PutPath(Fields, "name", Name);
  PutPath(Fields, "link", link.Link);
  PutWholePath(Fields, "script", script);
  if (link.Transport == "udp") Fields["local_port"] = link.LocalPort;
  if (Began) Began();
}

// A file read twice counts once, unless it changed in between.
void TRunReport::FileRead(const std::string& path, const std::string& sha256) {
  QJsonObject file{{"sha256", JsonText(sha256)}};
  PutWholePath(file, "path", path);
  for (const QJsonValue& f : Files)
    if (f.toObject() == file) return;
  Files.append(file);
}

void TRunReport::SealChecked(const TSealReport& seal) {
  Fields["seal"] = seal.Sealed ? QJsonValue(SealJson(seal)) : QJsonValue();
}

void TRunReport::DeviceReported(const TDeviceReport& device) {
  Fields["device"] = DeviceJson(device);
}

void TRunReport::InstructionStarted(const TInstructionRef&, const std::string&) {
  InstructionStartMs = Clock.elapsed();
}

void TRunReport::InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) {
  QJsonObject entry = EndJson(line, end);
  PutWholePath(entry, "script", line.Script);
  entry["seconds"] = Seconds(Clock.elapsed() - InstructionStartMs);
  Instructions.append(entry);
}

void TRunReport::InstructionSkipped(const TInstructionRef& line, const std::string& reason) {
  TInstructionEnd skipped;
  skipped.Result = irSKIPPED;
  QJsonObject entry = EndJson(line, skipped);
  PutWholePath(entry, "script", line.Script);
  entry["reason"] = JsonText(reason);
  entry["seconds"] = 0.0;
  Instructions.append(entry);
}

void TRunReport::VersionSeen(const TVersionNote& note) {
  QJsonObject entry{
      {"instruction", JsonText(note.Word)},
      {"component", note.Component ? QString(QLatin1Char(note.Component)) : QString()},
      {"version", JsonText(note.Version)}};
  if (note.Word == "T") {
    entry["expected"] = JsonText(note.Expected);
    VersionsRead.append(entry);
  } else {
    VersionsWritten.append(entry);
  }
}

void TRunReport::RunEnded(TRunOutcome outcome, const std::string& error,
                          const std::string& script) {
  End = QDateTime::currentDateTimeUtc();
  Fields["seconds"] = Seconds(Clock.elapsed());
  // The error box's CR LF and CR line ends are a display's; the record keeps plain LF.
  std::string lines = error;
  for (size_t at = 0; (at = lines.find('\r', at)) != std::string::npos;)
    lines.replace(at, at + 1 < lines.size() && lines[at + 1] == '\n' ? 2 : 1, "\n");
  Fields["error"] = JsonText(lines);
  PutWholePath(Fields, "error_script", script);
  Outcome = outcome;
  if (Ended) Ended();
}

QJsonObject TRunReport::Record(int exit_status) const {
  QJsonObject r = Fields;
  const QDateTime end = End.isValid() ? End : QDateTime::currentDateTimeUtc();
  r["start"] = Iso(Start);
  r["end"] = Iso(end);
  if (!r.contains("seconds")) r["seconds"] = Seconds(Clock.isValid() ? Clock.elapsed() : 0);
  r["files"] = Files;
  r["instructions"] = Instructions;
  r["versions_read"] = VersionsRead;
  r["versions_written"] = VersionsWritten;
  // A process stopped before its run began was stopped all the same.
  const TRunOutcome outcome = Outcome == roNONE && exit_status >= 128 ? roSTOPPED : Outcome;
  r["result"] = OutcomeText(outcome);
  if (!r.contains("error")) r["error"] = "";
  if (!r.contains("error_script")) r["error_script"] = "";
  r["exit_status"] = exit_status < 0 ? QJsonValue() : QJsonValue(exit_status);
  return r;
}

QJsonObject LostRunRecord(const TLostRun& run) {
  TRunReport report(run.Name, [&run] { return run.Link; });
  report.RunStarted(run.Script);
  report.RunEnded(run.Outcome, run.Error, "");
  QJsonObject r = report.Record(run.ExitStatus);
  r["start"] = Iso(run.Start);
  r["end"] = Iso(run.End);
  r["seconds"] = Seconds(run.Start.msecsTo(run.End));
  return r;
}

// ---- file ----

bool TReportFile::Open(const std::string& path, std::string& error) {
  Path = path;
  std::string why;
  if (File.Open(path, why)) return true;
  error = "cannot write the report file " + Excerpt(path) + ": " + why;
  return false;
}

bool TReportFile::Append(const QJsonObject& record, std::string& error) {
  const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
  std::string why;
  if (File.Append(std::string_view(line.constData(), static_cast<size_t>(line.size())), why))
    return true;
  error = "cannot write the report file " + Excerpt(Path) + ": " + why;
  return false;
}
