#include "records/RunJson.h"

#include <QStringDecoder>

#include "formats/text.h"

// A file name is the system's bytes, UTF-8 here; a device may send any byte, which Latin-1
// keeps one character each.
QString JsonText(const std::string& bytes) {
  const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QStringDecoder utf8(QStringDecoder::Utf8,
                      QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString text = utf8(view);
  return utf8.hasError() ? QString::fromLatin1(view) : text;
}

QString JsonPath(const std::string& path) {
  return QString::fromStdString(EscapeNonUtf8(path));
}

void PutPath(QJsonObject& json, const QString& key, const std::string& bytes) {
  const std::string shown = EscapeNonUtf8(bytes);
  json[key] = QString::fromStdString(shown);
  if (shown.size() != bytes.size())  // only bytes that are not UTF-8 are ever escaped
    json[key + "_bytes"] = QString::fromLatin1(QByteArray::fromStdString(bytes).toHex());
}

std::string PathOf(const QJsonObject& json, const QString& key) {
  const QJsonValue bytes = json[key + "_bytes"];
  if (bytes.isString()) return QByteArray::fromHex(bytes.toString().toLatin1()).toStdString();
  return json[key].toString().toUtf8().toStdString();
}

QJsonObject LineJson(const TInstructionRef& line) {
  QJsonObject json{
      {"line", line.Line}, {"text", JsonText(line.Text)}, {"card", JsonText(line.Card)}};
  PutPath(json, "script", line.Script);
  return json;
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

QJsonObject SealJson(const TSealReport& seal) {
  return {{"manifest_sha256", JsonText(seal.ManifestSha256)},
          {"key_id", JsonText(seal.KeyId)},
          {"trusted_comment", JsonText(seal.TrustedComment)},
          {"verified", seal.Verified}};
}
