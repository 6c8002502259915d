#pragma once
// The two databases a ledger is kept in; Ledger::Open chooses by the name.

#include <memory>
#include <string>
#include <vector>

#include "ledger/Ledger.h"

namespace tessel::ledger {

// The tables, in the SQL both understand.
extern const std::vector<std::string> kLedgerTables;

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, std::string* why);
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& uri, std::string* why);

}  // namespace tessel::ledger
