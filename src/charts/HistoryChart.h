#pragma once

#include <string>
#include <vector>

#include "history/HistoryCharts.h"

QT_BEGIN_NAMESPACE
class QChart;
QT_END_NAMESPACE

// The history's charts, drawn with Qt Charts from the numbers HistoryCharts builds.
enum class EHistoryChart { hcRUNS, hcSECONDS, hcFAILED, hcSTATIONS };

// The charts of a picture grouped `by`: by day the runs and their seconds, by instruction
// where errors failed, by station each station's runs and errors.
std::vector<EHistoryChart> ChartsBy(EHistoryGroup by);

// A new chart, the caller's. Bar colours are fixed, so a picture reads the same each morning.
QChart* MakeHistoryChart(const THistoryCharts& charts, EHistoryChart which);

// The charts one under the other as PNG or SVG bytes (vector shapes, one per bar).
// REQUIRES: a QApplication (the offscreen platform will do).
std::string HistoryPicture(const THistoryCharts& charts, const std::vector<EHistoryChart>& which,
                           bool svg);

// The picture written to `path`, PNG or SVG by its ending, whole or not at all; false with
// `error` naming the file and why.
[[nodiscard]] bool WriteHistoryPicture(const THistoryCharts& charts,
                                       const std::vector<EHistoryChart>& which,
                                       const std::string& path, std::string& error);
// The ending of `path` as a picture's kind; false with `error` for another one.
[[nodiscard]] bool PictureKind(const std::string& path, bool& svg, std::string& error);

// Colours of the results, shared with the tests that count the bars of a picture.
constexpr const char* kCompletedColour = "#2e7d32";
constexpr const char* kErrorColour = "#c62828";
constexpr const char* kStoppedColour = "#f9a825";
