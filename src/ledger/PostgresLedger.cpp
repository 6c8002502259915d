// The ledger of a line of hosts: PostgreSQL through libpq. Every writing transaction starts
// by locking the one row of the sequence (SELECT ... FOR UPDATE), so that stations on any
// number of hosts take their turns; the server keeps what it committed.

#include <libpq-fe.h>

#include "ledger/LedgerBackends.h"

namespace tessel::ledger {

namespace {

// Any fixed number: the key of the lock that lets one client make the tables at a time.
constexpr long long kTablesLock = 0x7e55e1;

class PostgresConnection final : public SqlConnection {
public:
    explicit PostgresConnection(PGconn* conn) : conn_(conn) {}
    ~PostgresConnection() override { PQfinish(conn_); }

    bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string* why) override {
        std::vector<const char*> values;
        for (const SqlValue& p : params) values.push_back(p ? p->c_str() : nullptr);
        PGresult* r = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0);
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            *why = Message(r);
            PQclear(r);
            return false;
        }
        if (rows)
            for (int i = 0; i < PQntuples(r); ++i) {
                SqlRow row;
                for (int c = 0; c < PQnfields(r); ++c)
                    row.push_back(PQgetisnull(r, i, c) ? std::nullopt : SqlValue(PQgetvalue(r, i, c)));
                rows->push_back(std::move(row));
            }
        PQclear(r);
        return true;
    }

    bool BeginExclusive(std::string* why) override {
        if (!Run("BEGIN", {}, nullptr, why)) return false;
        if (Run("SELECT next_serial FROM station_sequence WHERE id = 1 FOR UPDATE", {}, nullptr, why)) return true;
        std::string ignored;
        Run("ROLLBACK", {}, nullptr, &ignored);
        return false;
    }

    bool MakeTables(const std::vector<std::string>& statements, std::string* why) override {
        // CREATE ... IF NOT EXISTS is not safe against itself in two sessions at once.
        if (!Run("BEGIN", {}, nullptr, why)) return false;
        bool ok = Run("SELECT pg_advisory_xact_lock($1)", {std::to_string(kTablesLock)}, nullptr, why);
        for (size_t i = 0; ok && i < statements.size(); ++i) ok = Run(statements[i], {}, nullptr, why);
        std::string ignored;
        if (!ok) Run("ROLLBACK", {}, nullptr, &ignored);
        return ok && Run("COMMIT", {}, nullptr, why);
    }

private:
    std::string Message(const PGresult* r) const {
        std::string text = r ? PQresultErrorMessage(r) : "";
        if (text.empty()) text = PQerrorMessage(conn_);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text.empty() ? "the server did not answer" : text;
    }
    PGconn* conn_;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& uri, std::string* why) {
    PGconn* conn = PQconnectdb(uri.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        *why = PQerrorMessage(conn);
        while (!why->empty() && (why->back() == '\n' || why->back() == ' ')) why->pop_back();
        PQfinish(conn);
        return nullptr;
    }
    // The server's notices ("relation ... already exists, skipping") are not the operator's.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    return std::make_unique<PostgresConnection>(conn);
}

}  // namespace tessel::ledger
