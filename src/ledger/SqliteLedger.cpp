// The ledger of one host: an SQLite file. Writers take the file's write lock at the start of
// each transaction (BEGIN IMMEDIATE), so that two stations never read the same next number;
// a writer that finds it taken waits for it rather than failing.

#include <sqlite3.h>

#include "ledger/LedgerBackends.h"

namespace tessel::ledger {

namespace {

constexpr int kBusyWaitMs = 30000;

class SqliteConnection final : public SqlConnection {
public:
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    ~SqliteConnection() override { sqlite3_close(db_); }

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string* why) override {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return Fail(why, stmt);
        for (size_t i = 0; i < params.size(); ++i) {
            std::string name = std::to_string(i + 1);
            name.insert(name.begin(), '$');  // not "$" + ...: GCC 12 warns wrongly of an overlap there
            const int at = sqlite3_bind_parameter_index(stmt, name.c_str());
            if (at == 0) continue;
            const int rc = params[i] ? sqlite3_bind_text(stmt, at, params[i]->c_str(), static_cast<int>(params[i]->size()),
                                                         SQLITE_TRANSIENT)
                                     : sqlite3_bind_null(stmt, at);
            if (rc != SQLITE_OK) return Fail(why, stmt);
        }
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) return Fail(why, stmt);
            if (!rows) continue;
            SqlRow row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                row.push_back(text ? SqlValue(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, c))))
                                   : std::nullopt);
            }
            rows->push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        return true;
    }

    bool BeginExclusive(std::string* why) override { return Run("BEGIN IMMEDIATE", {}, nullptr, why); }

    bool MakeTables(const std::vector<std::string>& statements, std::string* why) override {
        if (!BeginExclusive(why)) return false;
        for (const std::string& s : statements)
            if (!Run(s, {}, nullptr, why)) {
                std::string ignored;
                Run("ROLLBACK", {}, nullptr, &ignored);
                return false;
            }
        return Run("COMMIT", {}, nullptr, why);
    }

private:
    bool Fail(std::string* why, sqlite3_stmt* stmt) {
        *why = sqlite3_errmsg(db_);
        if (stmt) sqlite3_finalize(stmt);
        return false;
    }
    sqlite3* db_;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, std::string* why) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyWaitMs);
    auto connection = std::make_unique<SqliteConnection>(db);
    // Readers do not wait for a writer with a write-ahead log; every commit is on the disk
    // before it returns (synchronous FULL), so a power cut loses no record that was reported.
    std::vector<SqlRow> mode;
    if (!connection->Run("PRAGMA journal_mode = WAL", {}, &mode, why) ||
        !connection->Run("PRAGMA synchronous = FULL", {}, nullptr, why))
        return nullptr;
    return connection;
}

}  // namespace tessel::ledger
