#pragma once

#include <QJsonObject>
#include <QString>
#include <string>

#include "app/RunObserver.h"

// The JSON forms that records and events share. Byte strings become text as UTF-8 when they
// are UTF-8 (paths, names, messages naming them), otherwise byte for byte as Latin-1.
QString JsonText(const std::string& bytes);
// A path as JSON text: the system's bytes (UTF-8) decoded as the system names files.
QString JsonPath(const std::string& path);
// "script", "line", "text", "card".
QJsonObject LineJson(const TInstructionRef& line);
// The line's fields with "engine", "result", "retries", "sent" and "received".
QJsonObject EndJson(const TInstructionRef& line, const TInstructionEnd& end);
// "type", "id", "boot_checksum".
QJsonObject DeviceJson(const TDeviceReport& device);
// "manifest_sha256", "key_id", "trusted_comment", "verified".
QJsonObject SealJson(const TSealReport& seal);
