#include "ledger/Chain.h"

#include <set>

#include "platform/Sha256.h"

namespace tessel::ledger {

namespace {
constexpr char kSealKey[] = ",\"sha256\":\"";

// The length of the UTF-8 sequence at s[i], 0 when none starts there.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    const uint32_t cp = n == 1 ? c
                        : n == 2 ? (c & 0x1Fu) << 6 | (b(i + 1) & 0x3Fu)
                        : n == 3 ? (c & 0x0Fu) << 12 | (b(i + 1) & 0x3Fu) << 6 | (b(i + 2) & 0x3Fu)
                                 : (c & 0x07u) << 18 | (b(i + 1) & 0x3Fu) << 12 | (b(i + 2) & 0x3Fu) << 6 | (b(i + 3) & 0x3Fu);
    // Overlong forms, surrogates and what lies past the last code point are not UTF-8.
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}
}  // namespace

std::string Escaped(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size();) {
        const size_t n = Utf8Length(name, i);
        if (name[i] == '\\') {
            out += "\\\\";
            ++i;
        } else if (n) {
            out.append(name, i, n);
            i += n;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto c = static_cast<unsigned char>(name[i++]);
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

std::string Sealed(Json record, const std::string& prev) {
    record["prev"] = prev;
    // Every name is escaped before it reaches a record; replace is the last guard, so that
    // no text anywhere can throw here once a board has been programmed.
    std::string text = record.dump(-1, ' ', false, Json::error_handler_t::replace);
    const std::string self = Sha256Hex(text);
    text.pop_back();  // the closing brace: the seal is the last field
    return text + kSealKey + self + "\"}";
}

std::string CheckSeal(const std::string& line, const std::string& prev, Json* record) {
    const std::string key = kSealKey;
    const size_t at = line.rfind(key);
    if (at == std::string::npos || line.size() != at + key.size() + 64 + 2 ||
        line.compare(line.size() - 2, 2, "\"}") != 0)
        return "it carries no seal";
    const std::string text = line.substr(0, at) + "}";
    if (Sha256Hex(text) != line.substr(at + key.size(), 64)) return "it was changed after it was written";
    *record = Json::parse(text, nullptr, false);
    if (!record->is_object()) return "it is no JSON record";
    if (!record->contains("prev") || (*record)["prev"] != prev)
        return "it was not written after the record before it (one is missing, moved or changed)";
    return "";
}

LogWalk WalkLog(const std::string& text) {
    LogWalk w;
    std::set<uint64_t> reserved;
    size_t at = 0;
    while (at < text.size() && !w.broken) {
        const size_t end = text.find('\n', at);
        ++w.records;
        if (end == std::string::npos) {
            w.broken = w.records;
            w.why = "it is cut off (no line end): a partial record";
            break;
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        Json r;
        w.why = CheckSeal(line, w.records == 1 ? "" : Sha256Hex(w.lastLine), &r);
        if (w.why.empty() && w.records == 1 && r.value("log", "") != kLogName) w.why = "the log has no header";
        w.lastLine = line;
        if (!w.why.empty()) {
            w.broken = w.records;
            break;
        }
        if (!r.contains("serial") || !r["serial"].is_number_unsigned()) continue;
        const uint64_t serial = r["serial"].get<uint64_t>();
        const std::string result = r.value("result", "");
        if (result == "reserved") {
            if (!reserved.insert(serial).second) {
                w.broken = w.records;
                w.why = "serial number " + std::to_string(serial) + " is given a second time";
            }
            w.open[serial] = w.records;
            w.maxSerial = w.anySerial ? std::max(w.maxSerial, serial) : serial;
            w.anySerial = true;
        } else if (!w.open.erase(serial)) {
            w.broken = w.records;
            w.why = "serial number " + std::to_string(serial) + " has an outcome but was not reserved before it";
        }
    }
    return w;
}

std::string Verdict(const LogWalk& w, size_t* record) {
    if (w.broken) {
        *record = w.broken;
        return w.why;
    }
    if (!w.open.empty()) {
        auto first = w.open.begin();
        for (auto it = w.open.begin(); it != w.open.end(); ++it)
            if (it->second < first->second) first = it;
        const auto& [serial, at] = *first;
        *record = at;
        return "serial number " + std::to_string(serial) + " was reserved and has no outcome (its board is unknown)";
    }
    *record = 0;
    return w.records == 0 ? "empty" : "";
}

}  // namespace tessel::ledger
