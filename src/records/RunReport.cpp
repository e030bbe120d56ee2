#include "records/RunReport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSysInfo>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "formats/text.h"
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
QString WholePath(const std::string& path) {
  if (path.empty()) return {};
  std::error_code ec;
  const std::filesystem::path whole = std::filesystem::absolute(path, ec);
  return JsonPath(ec ? path : whole.lexically_normal().string());
}

bool WriteAll(int fd, const QByteArray& data) {
  qsizetype done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

std::string NotRegular(const struct stat& st) {
  const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                     : S_ISDIR(st.st_mode)  ? "a folder"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "something else";
  return std::string("it is ") + kind + ", not a regular file";
}

int Flock(int fd, int operation) {
  int r;
  while ((r = ::flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return r;
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
  Fields = {{"program", QStringLiteral(QUBRA_PRODUCT)},
            {"version", QStringLiteral(QUBRA_VERSION)},
            {"host", QSysInfo::machineHostName()},
            {"name", JsonText(Name)},
            {"transport", JsonText(link.Transport)},
            {"link", JsonText(link.Link)},
            {"script", WholePath(script)},
            {"device", DeviceJson(TDeviceReport{})},
            {"seal", QJsonValue()}};
  if (link.Transport == "udp") Fields["local_port"] = link.LocalPort;
}

// A file read twice counts once, unless it changed in between.
void TRunReport::FileRead(const std::string& path) {
  const QJsonObject file{{"path", WholePath(path)}, {"sha256", JsonText(FileSha256(path))}};
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
  entry["script"] = WholePath(line.Script);
  entry["seconds"] = Seconds(Clock.elapsed() - InstructionStartMs);
  Instructions.append(entry);
}

void TRunReport::InstructionSkipped(const TInstructionRef& line, const std::string& reason) {
  TInstructionEnd skipped;
  skipped.Result = irSKIPPED;
  QJsonObject entry = EndJson(line, skipped);
  entry["script"] = WholePath(line.Script);
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
  Fields["error_script"] = WholePath(script);
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

std::string FileSha256(const std::string& path) {
  // The path's own bytes, and never a FIFO or device that would block or never end.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buffer[65536];
  for (ssize_t n; ok && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      ok = false;
    else
      hash.addData(QByteArrayView(buffer, n));
  }
  ::close(fd);
  return ok ? hash.result().toHex().toStdString() : std::string();
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

TReportFile::~TReportFile() {
  if (Fd >= 0) ::close(Fd);
}

bool TReportFile::Open(const std::string& path, std::string& error) {
  Path = path;
  auto refuse = [&](const std::string& why) {
    error = "cannot write the report file " + Excerpt(path) + ": " + why;
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
    return false;
  };
  // Only a regular file: a FIFO nobody reads would block the open for good, and a terminal or
  // pipe would mix the records into other output.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return refuse(NotRegular(st));
  Fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (Fd < 0) return refuse(std::strerror(errno));
  if (::fstat(Fd, &st) != 0) return refuse(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return refuse(NotRegular(st));
  for (const int own : {STDOUT_FILENO, STDERR_FILENO})
    if (struct stat o{}; ::fstat(own, &o) == 0 && o.st_dev == st.st_dev && o.st_ino == st.st_ino)
      return refuse("it is this program's own output");
  return true;
}

bool TReportFile::Append(const QJsonObject& record, std::string& error) {
  const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
  // The lock keeps even a write the system splits in one piece; the size taken under it lets
  // a failed write be cut back off.
  struct stat st {};
  const bool locked = Flock(Fd, LOCK_EX) == 0;
  const bool sized = ::fstat(Fd, &st) == 0;
  bool ok = locked && sized && WriteAll(Fd, line);
  const int saved = errno;
  if (!ok && sized) (void)!::ftruncate(Fd, st.st_size);
  if (locked) Flock(Fd, LOCK_UN);
  if (!ok) error = "cannot write the report file " + Excerpt(Path) + ": " + std::strerror(saved);
  return ok;
}
