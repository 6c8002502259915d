#pragma once
// The ledger: a station's serial numbers and its record of every board, in a database that
// several stations, processes and hosts share. SQLite keeps it in one file on one host;
// PostgreSQL keeps it for a line of hosts. Numbers are reserved, and outcomes written, each in
// one transaction that has the ledger to itself, so that the chain of records stays one chain
// and no number is given twice. The database does the storing, locking and recovery; this
// class only says what a transaction holds.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ledger/Chain.h"

namespace tessel::ledger {

using SqlValue = std::optional<std::string>;  // nullopt: NULL
using SqlRow = std::vector<SqlValue>;

// One connection to a database, in the dialect both understand ($1... parameters).
class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // Runs one statement; its rows in *rows when it returns any. False with *why when the
    // database refused it or has gone.
    virtual bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
                     std::string* why) = 0;
    // Starts a transaction that no other writer runs beside: it holds the ledger's write lock
    // (SQLite) or its sequence row (PostgreSQL) from here to Commit or Rollback.
    virtual bool BeginExclusive(std::string* why) = 0;
    // Makes the tables, once, however many stations start at the same moment.
    virtual bool MakeTables(const std::vector<std::string>& statements, std::string* why) = 0;
};

// A reservation without an outcome.
struct OpenReservation {
    uint64_t serial = 0;
    int64_t record = 0;  // its place in the chain, from 1 (the header)
    std::string host;
    long pid = 0;  // 0: not known
};

// A postgresql:// URI rather than a file.
bool IsServerLedger(const std::string& where);

enum class Reserved { Ok, UsedUp, Failed };

class Ledger {
public:
    Ledger(std::unique_ptr<SqlConnection> db, std::string name);

    // A file path (SQLite, made when it is not there) or a postgresql:// URI. Null with *why
    // when it cannot be opened; the tables are made in a new one.
    static std::unique_ptr<Ledger> Open(const std::string& where, std::string* why);
    // The ledger's name as an operator gave it, without a password a URI may hold.
    const std::string& Name() const { return name_; }

    // The number the next reservation gives unless a start above it is asked for; none
    // while the ledger holds no number.
    bool Next(std::optional<uint64_t>* next, std::string* why);

    // Reserves the next number (at least `start`, at most `limit`) with `record`, which gets
    // it as "serial", and moves the sequence past it, in one transaction. *line: the record
    // as written.
    Reserved Reserve(uint64_t start, uint64_t limit, Json record, uint64_t* serial, std::string* line,
                     std::string* why);
    // Appends a record to the chain in one transaction.
    bool Append(const Json& record, std::string* line, std::string* why);

    // Every record, in the chain's order.
    bool Lines(std::vector<std::string>* lines, std::string* why);
    // The reservations that have no outcome, oldest first.
    bool Unclosed(std::vector<OpenReservation>* open, std::string* why);

    // Takes an earlier chain in whole (its lines as they are, already checked) into a ledger
    // that holds nothing yet, with the sequence going on from `next`.
    bool Import(const std::vector<std::string>& lines, uint64_t next, std::string* why);

private:
    // In a transaction: the last record's place and line (0 and "" when there is none).
    bool Tail(int64_t* seq, std::string* line, std::string* why);
    bool Insert(int64_t seq, const std::string& line, const Json& record, std::string* why);
    // Seals `record` after the chain's last record (a header first in an empty ledger) and
    // inserts it.
    bool Chain(Json record, std::string* line, std::string* why);
    bool Commit(std::string* why);
    void Rollback();

    std::unique_ptr<SqlConnection> db_;
    std::string name_;
};

}  // namespace tessel::ledger
