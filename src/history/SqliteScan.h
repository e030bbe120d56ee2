#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One row of a scan: its columns as the library holds them, valid during the call only.
class TScanRow {
 public:
  explicit TScanRow(void* statement) : Statement(statement) {}
  std::string_view Text(int column) const;  // "" for NULL
  double Number(int column) const;

 private:
  void* Statement;
};

// The rows of `sql` on the SQLite history at `path`, read on a connection of its own, read only,
// straight from the library: a million rows of --summary cost a fraction of what each costs
// through Qt's driver. `values` are bound to the ?s in order, as text. A database another holds
// locked is waited for `seconds` at most.
[[nodiscard]] bool ScanSqlite(const std::string& path, const std::string& sql,
                              const std::vector<std::string>& values, int seconds,
                              const std::function<void(const TScanRow&)>& each, std::string& error);
