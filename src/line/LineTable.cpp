#include "line/LineTable.h"

#include <algorithm>
#include <cmath>

#include "formats/text.h"

namespace {

// Columns count characters, not the bytes of UTF-8 names.
size_t Columns(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `columns` characters of `text`, never half of one.
std::string CutColumns(const std::string& text, size_t columns) {
  size_t seen = 0;
  for (size_t at = 0; at < text.size(); ++at)
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && seen++ == columns)
      return text.substr(0, at);
  return text;
}

std::string Cell(const std::string& text, size_t width) {
  const size_t columns = Columns(text);
  if (columns > width) return width == 0 ? "" : CutColumns(text, width - 1) + "~";
  return text + std::string(width - columns, ' ');
}

std::string Right(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

}  // namespace

std::vector<std::string> FormatTable(const TRows& rows, size_t width) {
  size_t name_width = 4, link_width = 4;
  for (const TDeviceRow& r : rows) {
    name_width = std::max(name_width, Columns(EscapeControls(r.Name)));
    link_width = std::max(link_width, Columns(EscapeControls(r.Link)));
  }
  auto line = [&](const std::string& name, const std::string& link, const std::string& state,
                  const std::string& operation, const std::string& card, const std::string& percent,
                  const std::string& eta, const std::string& elapsed, const std::string& error) {
    std::string text = Cell(EscapeControls(name), name_width) + "  " +
                       Cell(EscapeControls(link), link_width) + "  " + Cell(state, 10) + "  " +
                       Cell(EscapeControls(operation), 22) + "  " + Cell(EscapeControls(card), 6) +
                       "  " + Right(percent, 4) + "  " + Right(eta, 6) + "  " + Right(elapsed, 8) +
                       "  " + EscapeControls(error);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return CutColumns(text, width);
  };
  std::vector<std::string> out{
      line("NAME", "LINK", "STATE", "OPERATION", "CARD", "DONE", "ETA", "ELAPSED", "ERROR")};
  for (const TDeviceRow& r : rows) {
    const bool started = DeviceStarted(r);
    const bool eta = r.State == dsRUNNING && r.EtaSeconds >= 0;
    out.push_back(line(r.Name, r.Link, RowStateText(r), r.Operation, r.Card,
                       started ? std::to_string(r.Percent) + "%" : "",
                       eta ? std::to_string(std::lround(r.EtaSeconds)) + "s" : "",
                       started ? Tenths(r.Seconds) + "s" : "",
                       r.State == dsFAILED        ? r.Error
                       : !RetryingText(r).empty() ? RetryingText(r)
                                                  : r.ReportFailure));
  }
  return out;
}

std::vector<std::string> FitTable(std::vector<std::string> lines, const TRows& rows,
                                  size_t max_lines) {
  if (max_lines == 0 || lines.size() <= max_lines) return lines;
  // The header and the count line take two; the devices that need watching go first.
  const size_t room = max_lines >= 2 ? max_lines - 2 : 0;
  constexpr int kRank[] = {2, 0, 3, 1, 2};  // waiting, running, completed, failed, stopped
  std::vector<size_t> order(rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return kRank[rows[a].State] < kRank[rows[b].State]; });
  std::vector<bool> shown(rows.size(), false);
  for (size_t i = 0; i < room && i < order.size(); ++i) shown[order[i]] = true;
  int hidden[5] = {};
  std::vector<std::string> out;
  if (max_lines >= 2) out.push_back(lines[0]);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (shown[i])
      out.push_back(lines[i + 1]);
    else
      ++hidden[rows[i].State];
  }
  std::string more = "(" + std::to_string(rows.size() - room) + " more:";
  const char* separator = " ";
  for (const TDeviceState state : {dsRUNNING, dsFAILED, dsWAITING, dsSTOPPED, dsCOMPLETED}) {
    if (hidden[state] == 0) continue;
    more += separator + std::to_string(hidden[state]) + " " + DeviceStateText(state);
    separator = ", ";
  }
  out.push_back(more + ")");
  return out;
}

bool TTableScreen::Resize(size_t width, size_t height) {
  if (width == Width && height == Height) return false;
  // Lines cut to the old width wrap in a narrower terminal, and a lower one scrolls the top of
  // the table away: counting lines back up no longer finds it.
  if (width < Width || (height > 0 && (Height == 0 || height < Height))) ClearScreen = true;
  Width = width;
  Height = height;
  return true;
}

std::string TTableScreen::Draw(const TRows& rows, const std::string& notice) {
  const size_t width = Width > 1 ? Width - 1 : 1;
  // The cursor's own line stays on the screen too, or the next drawing could not climb back.
  const size_t room = Height > 0 ? std::max<size_t>(Height - 1, 1) : 0;
  // The notice is wrapped, never cut: it names the file that holds the runs not yet kept.
  std::vector<std::string> noted;
  for (std::string rest = notice; !rest.empty();) {
    noted.push_back(CutColumns(rest, width));
    rest.erase(0, noted.back().size());
  }
  if (room > 0 && room < noted.size() + 1) noted.clear();
  std::vector<std::string> lines = FitTable(FormatTable(rows, width), rows,
                                            room > 0 ? room - noted.size() : room);
  lines.insert(lines.end(), noted.begin(), noted.end());
  std::string text;
  if (ClearScreen)
    text += "\033[H\033[2J";
  else if (DrawnLines > 0)
    text += "\033[" + std::to_string(DrawnLines) + "A";
  ClearScreen = false;
  for (const std::string& line : lines) text += "\r\033[K" + CutColumns(line, width) + "\n";
  text += "\033[J";  // what a longer drawing left below
  DrawnLines = lines.size();
  return text;
}
