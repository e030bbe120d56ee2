#include "records/RunJson.h"

#include <QFile>

QString JsonText(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString JsonPath(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

QJsonObject LineJson(const TInstructionRef& line) {
  return {{"script", JsonPath(line.Script)},
          {"line", line.Line},
          {"text", JsonText(line.Text)},
          {"card", JsonText(line.Card)}};
}

QJsonObject EndJson(const TInstructionRef& line, const TInstructionEnd& end) {
  QJsonObject json = LineJson(line);
  json["engine"] = JsonText(end.Engine);
  json["result"] = ResultText(end.Result);
  json["retries"] = end.Retries;
  json["sent"] = static_cast<qint64>(end.Sent);
  json["received"] = static_cast<qint64>(end.Received);
  return json;
}

QJsonObject DeviceJson(const TDeviceReport& device) {
  return {{"type", JsonText(device.Type)},
          {"id", JsonText(device.Id)},
          {"boot_checksum", JsonText(device.BootChecksum)}};
}
