#pragma once

#include <QJsonObject>
#include <string>
#include <vector>

// The newest record of the device `name` in the report file `path` (JSON Lines, appended to at
// the end), read backwards from the end. False when there is none; `error` then names the file
// and the reason when it could not be read, else stays empty.
bool FindLastRecord(const std::string& path, const std::string& name, QJsonObject& record,
                    std::string& error);

// A record as the operator reads it, one line each: how the run ended and when, the device,
// every file read with its SHA-256, the versions read and written.
std::vector<std::string> DescribeRecord(const QJsonObject& record);
