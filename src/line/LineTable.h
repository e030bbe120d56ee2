#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "line/DeviceRow.h"

// The live table, one line per device, each cut to `width` characters; the first line names
// the columns.
std::vector<std::string> FormatTable(const TRows& rows, size_t width);
// The table's `lines` (of `rows`) in at most `max_lines` lines: the running and failed devices
// first, and a last line (not cut to the width) that counts the others by state. 0: no limit.
std::vector<std::string> FitTable(std::vector<std::string> lines, const TRows& rows,
                                  size_t max_lines);

// The table on a terminal of `Width` columns and `Height` lines (0: no limit), drawn in place:
// each drawing climbs back over the last.
class TTableScreen {
 public:
  TTableScreen(size_t width, size_t height) : Width(width), Height(height) {}
  // The terminal's new size; false when it is the one drawn for.
  bool Resize(size_t width, size_t height);
  // Drawn last, as a whole: nothing climbs back over it any more.
  void Unlimit() { Height = 0; }
  bool Drawn() const { return DrawnLines > 0; }
  // What draws `rows` over the last drawing, with `notice` under them when there is room.
  std::string Draw(const TRows& rows, const std::string& notice);

 private:
  size_t Width;
  size_t Height;
  size_t DrawnLines = 0;
  bool ClearScreen = false;  // the terminal shrank: what was drawn may have wrapped
};
