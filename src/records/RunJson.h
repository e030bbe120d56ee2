#pragma once

#include <QJsonObject>
#include <QString>
#include <string>

#include "app/RunObserver.h"

// The JSON forms that records and events share. Byte strings become text as UTF-8 when they
// are UTF-8 (paths, names, messages naming them), otherwise byte for byte as Latin-1.
QString JsonText(const std::string& bytes);
// A path or a name as JSON text: UTF-8 as it is; any other byte as "\xHH" (EscapeNonUtf8).
QString JsonPath(const std::string& path);
// `bytes` under `key` as JsonPath gives them; when they are not UTF-8, their exact bytes too,
// in hex under key + "_bytes", so the file or device can be found again.
void PutPath(QJsonObject& json, const QString& key, const std::string& bytes);
// The bytes PutPath put under `key`.
std::string PathOf(const QJsonObject& json, const QString& key);
// "script", "line", "text", "card".
QJsonObject LineJson(const TInstructionRef& line);
// The line's fields with "engine", "result", "retries", "sent" and "received".
QJsonObject EndJson(const TInstructionRef& line, const TInstructionEnd& end);
// "type", "id", "boot_checksum".
QJsonObject DeviceJson(const TDeviceReport& device);
// "manifest_sha256", "key_id", "trusted_comment", "verified".
QJsonObject SealJson(const TSealReport& seal);
