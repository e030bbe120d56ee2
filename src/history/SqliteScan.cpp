#include "history/SqliteScan.h"

#include <sqlite3.h>

#include <memory>

namespace {

sqlite3_stmt* Of(void* statement) {
  return static_cast<sqlite3_stmt*>(statement);
}

}  // namespace

std::string_view TScanRow::Text(int column) const {
  const auto* text = sqlite3_column_text(Of(Statement), column);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_column_bytes(Of(Statement), column))};
}

double TScanRow::Number(int column) const {
  return sqlite3_column_double(Of(Statement), column);
}

bool ScanSqlite(const std::string& path, const std::string& sql,
                const std::vector<std::string>& values, int seconds,
                const std::function<void(const TScanRow&)>& each, std::string& error) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  auto fail = [&] {
    error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened);
    return false;
  };
  if (opened != SQLITE_OK) return fail();
  sqlite3_busy_timeout(raw, seconds * 1000);
  // As the store's connection: LIKE as the shell's patterns, case and all.
  if (sqlite3_exec(raw, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail();
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(raw, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK)
    return fail();
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalize(statement, sqlite3_finalize);
  for (size_t i = 0; i < values.size(); ++i)
    if (sqlite3_bind_text(statement, static_cast<int>(i + 1), values[i].data(),
                          static_cast<int>(values[i].size()), SQLITE_TRANSIENT) != SQLITE_OK)
      return fail();
  const TScanRow row(statement);
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) each(row);
  return step == SQLITE_DONE || fail();
}
