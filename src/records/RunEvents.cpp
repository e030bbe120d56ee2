#include "records/RunEvents.h"

#include <QJsonDocument>
#include <cmath>
#include <ostream>

#include "records/RunJson.h"

namespace {

constexpr const char* kBarNames[] = {"operation", "card", "script"};

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
  OverallPercent = OverallMax = OverallPosition = -1;
  QJsonObject fields;
  PutPath(fields, "script", script);
  Emit("start", fields);
}

void TRunEvents::SealChecked(const TSealReport& seal) {
  QJsonObject fields = SealJson(seal);
  fields["sealed"] = seal.Sealed;
  Emit("seal", fields);
}

// The idle prompt before and after a run is no part of it.
void TRunEvents::StatusAdded(const std::string& line) {
  if (Running) Emit("status", {{"text", JsonText(line)}});
}

void TRunEvents::LinkTroubled(const std::string& text) {
  if (Running) Emit("link_trouble", {{"text", JsonText(text)}});
}

void TRunEvents::LinkConnected() {
  if (Running) Emit("connected", {});
}

void TRunEvents::ProgressChanged(TMainView::TBar bar, int32_t position, int32_t max) {
  if (!Running) return;
  const int percent = max > 0 ? static_cast<int>(int64_t{100} * position / max) : 0;
  if (percent == ShownPercent[bar] && max == ShownMax[bar]) return;
  ShownPercent[bar] = percent;
  ShownMax[bar] = max;
  Emit("progress", {{"bar", kBarNames[bar]}, {"position", position}, {"max", max}});
}

// As the bars: on a whole percent or a new maximum, and always once the end is reached.
void TRunEvents::OverallProgressChanged(int64_t position, int64_t max, double eta_seconds) {
  if (!Running) return;
  const int64_t percent = max > 0 ? 100 * position / max : 0;
  const bool end = position == max && OverallPosition != max;
  if (percent == OverallPercent && max == OverallMax && !end) return;
  OverallPercent = percent;
  OverallMax = max;
  OverallPosition = position;
  // Tenths of a second are all an estimate is worth.
  const QJsonValue eta =
      eta_seconds < 0 ? QJsonValue() : QJsonValue(std::round(eta_seconds * 10) / 10);
  Emit("progress", {{"bar", "overall"},
                    {"position", static_cast<qint64>(position)},
                    {"max", static_cast<qint64>(max)},
                    {"eta_seconds", eta}});
}

void TRunEvents::DeviceReported(const TDeviceReport& device) {
  Emit("device", DeviceJson(device));
}

void TRunEvents::InstructionStarted(const TInstructionRef& line, const std::string& engine) {
  QJsonObject fields = LineJson(line);
  fields["engine"] = JsonText(engine);
  Emit("instruction_start", fields);
}

void TRunEvents::InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) {
  Emit("instruction_end", EndJson(line, end));
}

void TRunEvents::InstructionSkipped(const TInstructionRef& line, const std::string& reason) {
  QJsonObject fields = LineJson(line);
  fields["reason"] = JsonText(reason);
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
  QJsonObject fields{
      {"result", OutcomeText(outcome)}, {"error", JsonText(Error)}, {"exit_status", exit_status}};
  PutPath(fields, "script", ErrorScript);
  if (!failure.empty()) fields["failure"] = JsonText(failure);
  Emit("result", fields);
}
