#include <filesystem>
#include <regex>

#include "ledger/LedgerBackends.h"

namespace tessel::ledger {

std::unique_ptr<Ledger> Ledger::Open(const std::string& where, std::string* why) {
    const bool server = IsServerLedger(where);
    // A password in the URI is not repeated in messages or records.
    const std::string name = server ? std::regex_replace(where, std::regex("://([^:/@]*):[^@/]*@"), "://$1:***@") : where;
    std::error_code ec;
    const auto status = std::filesystem::status(where, ec);
    std::unique_ptr<SqlConnection> db;
    // A FIFO or a device named as the ledger would hang or mislead the database.
    if (!server && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        *why = "it is not a regular file";
    else
        db = server ? OpenPostgres(where, why) : OpenSqlite(where, why);
    if (!db || !db->MakeTables(kLedgerTables, why)) {
        *why = "the ledger " + name + ": " + *why;
        return nullptr;
    }
    return std::make_unique<Ledger>(std::move(db), name);
}

}  // namespace tessel::ledger
