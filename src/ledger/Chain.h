#pragma once
// The chained records of a station: a header, then one JSON record a line. Each record carries
// the SHA-256 of the line before it ("prev") and, as its last field, the SHA-256 of itself
// without that field ("sha256"): a changed byte names its own record, and a record taken out
// or moved breaks the chain at the next one. The ledger keeps its records as these lines, and
// a station's JSON-lines log and a ledger's export are the same text.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace tessel::ledger {

using Json = nlohmann::json;

inline constexpr char kLogName[] = "tessel station log";

// The record sealed after the line whose SHA-256 is `prev`. Text that is not UTF-8 never
// stops a record from being written: such bytes are kept as escapes (see Escaped).
std::string Sealed(Json record, const std::string& prev);

// Why `line` is not a sealed record written after the line whose SHA-256 is `prev`; "" when
// it is, with the record in *record.
std::string CheckSeal(const std::string& line, const std::string& prev, Json* record);

// A name as a record holds it: UTF-8 as it is, every byte that is not part of UTF-8 as "\xNN",
// and a backslash as "\\", so that no two names are recorded alike.
std::string Escaped(const std::string& name);

// What a walk through the records found: how many, the serial numbers still reserved without
// an outcome, and the first record that breaks the chain or the numbers.
struct LogWalk {
    size_t records = 0;
    std::string lastLine;
    std::map<uint64_t, size_t> open;  // serial -> the record that reserved it
    uint64_t maxSerial = 0;
    bool anySerial = false;
    size_t broken = 0;  // 0: none
    std::string why;
};

LogWalk WalkLog(const std::string& text);

// The verdict on a walk: "" when the chain is whole and every number was given once and
// closed; otherwise what is wrong, naming its record (*record).
std::string Verdict(const LogWalk& walk, size_t* record);

}  // namespace tessel::ledger
