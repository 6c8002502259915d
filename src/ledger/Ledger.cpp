#include "ledger/Ledger.h"

#include <charconv>

#include "ledger/LedgerBackends.h"
#include "platform/Sha256.h"

namespace tessel::ledger {

namespace {


bool ToNumber(const SqlValue& v, int64_t* n) {
    if (!v) return false;
    return std::from_chars(v->data(), v->data() + v->size(), *n).ec == std::errc();
}

SqlValue Text(const Json& record, const char* key) {
    return record.contains(key) && record[key].is_string() ? SqlValue(record[key].get<std::string>()) : std::nullopt;
}
SqlValue Number(const Json& record, const char* key) {
    return record.contains(key) && record[key].is_number_integer() ? SqlValue(record[key].dump()) : std::nullopt;
}

}  // namespace

// The records as their lines, with what a query needs beside each: the number, the result,
// and who reserved it. The unique index is the database's own guard against a number given
// twice, whatever a client does.
const std::vector<std::string> kLedgerTables = {
    "CREATE TABLE IF NOT EXISTS station_records (seq BIGINT PRIMARY KEY, serial BIGINT, result TEXT NOT NULL, "
    "host TEXT, pid BIGINT, line TEXT NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS station_reserved_once ON station_records (serial) WHERE result = 'reserved'",
    "CREATE TABLE IF NOT EXISTS station_sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next_serial BIGINT)",
    "INSERT INTO station_sequence (id, next_serial) VALUES (1, NULL) ON CONFLICT DO NOTHING",
};

bool IsServerLedger(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

Ledger::Ledger(std::unique_ptr<SqlConnection> db, std::string name) : db_(std::move(db)), name_(std::move(name)) {}

bool Ledger::Commit(std::string* why) {
    if (db_->Run("COMMIT", {}, nullptr, why)) return true;
    Rollback();
    return false;
}

void Ledger::Rollback() {
    std::string ignored;
    db_->Run("ROLLBACK", {}, nullptr, &ignored);
}

bool Ledger::Next(std::optional<uint64_t>* next, std::string* why) {
    std::vector<SqlRow> rows;
    if (!db_->Run("SELECT next_serial FROM station_sequence WHERE id = 1", {}, &rows, why)) return false;
    int64_t n = 0;
    *next = !rows.empty() && ToNumber(rows[0][0], &n) ? std::optional<uint64_t>(static_cast<uint64_t>(n)) : std::nullopt;
    return true;
}

bool Ledger::Tail(int64_t* seq, std::string* line, std::string* why) {
    std::vector<SqlRow> rows;
    if (!db_->Run("SELECT seq, line FROM station_records ORDER BY seq DESC LIMIT 1", {}, &rows, why)) return false;
    *seq = 0;
    line->clear();
    if (!rows.empty() && (!ToNumber(rows[0][0], seq) || !rows[0][1])) {
        *why = "the ledger's last record has no place or no text";
        return false;
    }
    if (!rows.empty()) *line = *rows[0][1];
    return true;
}

bool Ledger::Insert(int64_t seq, const std::string& line, const Json& record, std::string* why) {
    return db_->Run("INSERT INTO station_records (seq, serial, result, host, pid, line) VALUES ($1, $2, $3, $4, $5, $6)",
                    {std::to_string(seq), Number(record, "serial"), Text(record, "result").value_or(""),
                     Text(record, "host"), Number(record, "pid"), line},
                    nullptr, why);
}

bool Ledger::Chain(Json record, std::string* line, std::string* why) {
    int64_t seq = 0;
    std::string last;
    if (!Tail(&seq, &last, why)) return false;
    if (seq == 0) {
        const Json header = {{"log", kLogName}, {"version", 1}, {"time", record.value("time", "")},
                             {"host", record.value("host", "")}};
        last = Sealed(header, "");
        if (!Insert(++seq, last, header, why)) return false;
    }
    *line = Sealed(std::move(record), Sha256Hex(last));
    return Insert(seq + 1, *line, Json::parse(*line), why);
}

Reserved Ledger::Reserve(uint64_t start, uint64_t limit, Json record, uint64_t* serial, std::string* line,
                         std::string* why) {
    if (!db_->BeginExclusive(why)) return Reserved::Failed;
    std::optional<uint64_t> next;
    if (!Next(&next, why)) {
        Rollback();
        return Reserved::Failed;
    }
    const uint64_t n = std::max(next.value_or(start), start);
    if (n > limit) {
        Rollback();
        *why = "the serial numbers are used up (the last is " + std::to_string(limit) + ")";
        return Reserved::UsedUp;
    }
    record["serial"] = n;
    if (!Chain(std::move(record), line, why) ||
        !db_->Run("UPDATE station_sequence SET next_serial = $1 WHERE id = 1", {std::to_string(n + 1)}, nullptr, why)) {
        Rollback();
        return Reserved::Failed;
    }
    if (!Commit(why)) return Reserved::Failed;
    *serial = n;
    return Reserved::Ok;
}

bool Ledger::Append(const Json& record, std::string* line, std::string* why) {
    if (!db_->BeginExclusive(why)) return false;
    if (!Chain(record, line, why)) {
        Rollback();
        return false;
    }
    return Commit(why);
}

bool Ledger::Lines(std::vector<std::string>* lines, std::string* why) {
    std::vector<SqlRow> rows;
    if (!db_->Run("SELECT line FROM station_records ORDER BY seq", {}, &rows, why)) return false;
    lines->clear();
    for (const SqlRow& r : rows) lines->push_back(r[0].value_or(""));
    return true;
}

bool Ledger::Unclosed(std::vector<OpenReservation>* open, std::string* why) {
    std::vector<SqlRow> rows;
    if (!db_->Run("SELECT r.serial, r.seq, r.host, r.pid FROM station_records r WHERE r.result = 'reserved' AND "
                  "NOT EXISTS (SELECT 1 FROM station_records o WHERE o.serial = r.serial AND o.result <> 'reserved') "
                  "ORDER BY r.seq",
                  {}, &rows, why))
        return false;
    open->clear();
    for (const SqlRow& r : rows) {
        OpenReservation o;
        int64_t serial = 0, pid = 0;
        ToNumber(r[0], &serial);
        ToNumber(r[1], &o.record);
        ToNumber(r[3], &pid);
        o.serial = static_cast<uint64_t>(serial);
        o.host = r[2].value_or("");
        o.pid = static_cast<long>(pid);
        open->push_back(o);
    }
    return true;
}

bool Ledger::Import(const std::vector<std::string>& lines, uint64_t next, std::string* why) {
    if (!db_->BeginExclusive(why)) return false;
    int64_t seq = 0;
    std::string last;
    if (!Tail(&seq, &last, why)) {
        Rollback();
        return false;
    }
    if (seq != 0) {
        Rollback();
        *why = "the ledger " + name_ + " already holds records: a log is taken only into a new ledger";
        return false;
    }
    for (const std::string& line : lines)
        if (!Insert(++seq, line, Json::parse(line, nullptr, false), why)) {
            Rollback();
            return false;
        }
    if (!db_->Run("UPDATE station_sequence SET next_serial = $1 WHERE id = 1", {std::to_string(next)}, nullptr, why)) {
        Rollback();
        return false;
    }
    return Commit(why);
}

}  // namespace tessel::ledger
