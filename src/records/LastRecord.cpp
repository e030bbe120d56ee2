#include "records/LastRecord.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

#include "formats/text.h"
#include "records/RunJson.h"

namespace {

constexpr qint64 kBlock = 64 * 1024;
// A line longer than this is no record of ours: past it, the search gives up.
constexpr qsizetype kMaxLine = 64 * 1024 * 1024;

std::string Text(const QJsonValue& v) {
  return v.toString().toUtf8().toStdString();
}

// The record on `line` when it is one of `name`.
bool RecordOf(const QByteArray& line, const std::string& name, QJsonObject& record) {
  const QJsonDocument doc = QJsonDocument::fromJson(line);
  if (!doc.isObject() || PathOf(doc.object(), "name") != name) return false;
  record = doc.object();
  return true;
}

}  // namespace

bool FindLastRecord(const std::string& path, const std::string& name, QJsonObject& record,
                    std::string& error) {
  error.clear();
  QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
  if (!file.exists()) return false;
  if (!file.open(QIODevice::ReadOnly)) {
    error = path + ": " + file.errorString().toStdString();
    return false;
  }
  QByteArray carry;  // the start of a line that began in a block not read yet
  for (qint64 end = file.size(); end > 0 && carry.size() <= kMaxLine;) {
    const qint64 start = std::max<qint64>(0, end - kBlock);
    QByteArray text;
    if (!file.seek(start) || (text = file.read(end - start)).size() != end - start) {
      error = path + ": " + file.errorString().toStdString();
      return false;
    }
    text += carry;
    // Before the first line end of a block, a line may go on in the block before it.
    const qsizetype first = start > 0 ? text.indexOf('\n') : -1;
    if (start > 0 && first < 0) {
      carry = text;
      end = start;
      continue;
    }
    const QList<QByteArray> lines = text.mid(first + 1).split('\n');
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
      if (RecordOf(*line, name, record)) return true;
    carry = start > 0 ? text.left(first) : QByteArray();
    end = start;
  }
  return false;
}

std::vector<std::string> DescribeRecord(const QJsonObject& r) {
  std::vector<std::string> lines;
  std::string result = Text(r["result"]) + " in " + Tenths(r["seconds"].toDouble()) + " s";
  if (!Text(r["error"]).empty())
    result += ": " + Text(r["error"]) + " (" + Text(r["error_script"]) + ")";
  lines.push_back("Result: " + result);
  lines.push_back("Started: " + Text(r["start"]) + " on " + Text(r["host"]) + ", " +
                  Text(r["transport"]) + " " + Text(r["link"]));
  // Where a stopped or failed run stood, when it stood at an instruction.
  const QJsonArray instructions = r["instructions"].toArray();
  for (qsizetype i = instructions.size() - 1; i >= 0; --i) {
    const QJsonObject at = instructions[i].toObject();
    const std::string result = Text(at["result"]);
    if (result != "failed" && result != "stopped") continue;
    lines.push_back((result == "stopped" ? "Stopped at: " : "Failed at: ") + Text(at["text"]) +
                    " (" + Text(at["script"]) + ":" + std::to_string(at["line"].toInt()) + ")");
    break;
  }
  const QJsonObject device = r["device"].toObject();
  if (Text(device["type"]).empty() && Text(device["id"]).empty())
    lines.push_back("Device: none answered");
  else
    lines.push_back("Device: type " + Text(device["type"]) + ", id " + Text(device["id"]) +
                    ", boot checksum " + Text(device["boot_checksum"]));
  const QJsonArray files = r["files"].toArray();
  lines.push_back("Files read: " + std::to_string(files.size()));
  for (const QJsonValue& f : files)
    // The name first: a narrow pane cuts the line's end, and the hash is the part seldom read.
    lines.push_back("  " + Text(f["path"]) + "  " + Text(f["sha256"]));
  const QJsonArray read = r["versions_read"].toArray();
  lines.push_back("Versions read: " + std::to_string(read.size()));
  for (const QJsonValue& v : read)
    lines.push_back("  " + Text(v["instruction"]) + Text(v["component"]) + " " +
                    Text(v["version"]) + " (expected " + Text(v["expected"]) + ")");
  const QJsonArray written = r["versions_written"].toArray();
  lines.push_back("Versions written: " + std::to_string(written.size()));
  for (const QJsonValue& v : written)
    lines.push_back("  " + Text(v["instruction"]) + Text(v["component"]) + " " +
                    Text(v["version"]));
  return lines;
}
