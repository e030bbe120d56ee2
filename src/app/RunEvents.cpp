#include "app/RunEvents.h"

#include <QJsonDocument>
#include <ostream>

namespace {

QString L1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

constexpr const char* kBarNames[] = {"operation", "card", "script"};

QJsonObject LineFields(const TInstructionRef& line) {
  return {{"script", L1(line.Script)},
          {"line", line.Line},
          {"text", L1(line.Text)},
          {"card", L1(line.Card)}};
}

}  // namespace

TRunEvents::TRunEvents(std::ostream& out) : Out(out) {}

void TRunEvents::Emit(const char* event, QJsonObject fields) {
  fields["event"] = event;
  Out << QJsonDocument(fields).toJson(QJsonDocument::Compact).toStdString() << '\n' << std::flush;
}

void TRunEvents::RunStarted(const std::string& script) {
  Running = true;
  ShownPercent.fill(-1);
  ShownMax.fill(-1);
  Emit("start", {{"script", L1(script)}});
}

// The idle prompt before and after a run is no part of it.
void TRunEvents::StatusAdded(const std::string& line) {
  if (Running) Emit("status", {{"text", L1(line)}});
}

void TRunEvents::ProgressChanged(TMainView::TBar bar, int32_t position, int32_t max) {
  if (!Running) return;
  const int percent = max > 0 ? static_cast<int>(int64_t{100} * position / max) : 0;
  if (percent == ShownPercent[bar] && max == ShownMax[bar]) return;
  ShownPercent[bar] = percent;
  ShownMax[bar] = max;
  Emit("progress", {{"bar", kBarNames[bar]}, {"position", position}, {"max", max}});
}

void TRunEvents::DeviceReported(const TDeviceReport& device) {
  Emit("device", {{"type", L1(device.Type)},
                  {"id", L1(device.Id)},
                  {"boot_checksum", L1(device.BootChecksum)}});
}

void TRunEvents::InstructionStarted(const TInstructionRef& line, const std::string& engine) {
  QJsonObject fields = LineFields(line);
  fields["engine"] = L1(engine);
  Emit("instruction_start", fields);
}

void TRunEvents::InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) {
  QJsonObject fields = LineFields(line);
  fields["engine"] = L1(end.Engine);
  fields["result"] = ResultText(end.Result);
  fields["retries"] = end.Retries;
  fields["sent"] = static_cast<qint64>(end.Sent);
  fields["received"] = static_cast<qint64>(end.Received);
  Emit("instruction_end", fields);
}

void TRunEvents::InstructionSkipped(const TInstructionRef& line, const std::string& reason) {
  QJsonObject fields = LineFields(line);
  fields["reason"] = L1(reason);
  Emit("instruction_skipped", fields);
}

void TRunEvents::RunEnded(TRunOutcome outcome, const std::string& error,
                          const std::string& script) {
  Running = false;
  Outcome = outcome;
  Error = error;
  ErrorScript = script;
}

void TRunEvents::Finish(int exit_status, const std::string& failure) {
  if (Finished) return;
  Finished = true;
  TRunOutcome outcome = Outcome;
  if (outcome == roNONE) outcome = exit_status >= 128 ? roSTOPPED : roERROR;
  QJsonObject fields{{"result", OutcomeText(outcome)},
                     {"error", L1(Error)},
                     {"script", L1(ErrorScript)},
                     {"exit_status", exit_status}};
  if (!failure.empty()) fields["failure"] = L1(failure);
  Emit("result", fields);
}
