#include <regex>

#include "ledger/LedgerBackends.h"

namespace tessel::ledger {

std::unique_ptr<Ledger> Ledger::Open(const std::string& where, std::string* why) {
    const bool server = IsServerLedger(where);
    // A password in the URI is not repeated in messages or records.
    const std::string name = server ? std::regex_replace(where, std::regex("://([^:/@]*):[^@/]*@"), "://$1:***@") : where;
    std::unique_ptr<SqlConnection> db = server ? OpenPostgres(where, why) : OpenSqlite(where, why);
    if (!db || !db->MakeTables(kLedgerTables, why)) {
        *why = "the ledger " + name + ": " + *why;
        return nullptr;
    }
    return std::make_unique<Ledger>(std::move(db), name);
}

}  // namespace tessel::ledger
