#include "files/ConfigStore.h"

#include "platform/CLocale.h"
#include "platform/Paths.h"
#include "platform/SafeFile.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tessel {

namespace {

// The file must read the same whatever locale wrote it: numbers are formatted and parsed
// under the C locale.
template <typename... Args>
std::string Format(const char* format, Args... args) {
    CLocaleScope cLocale;
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<size_t>(length));
    return text;
}

// atoi reads digits in the manner of strtol but leaves out-of-range results undefined; a
// clamped value is what strtol itself would give, narrowed without wrapping.
int ParseLeadingInt(const std::string& text, size_t from) {
    CLocaleScope cLocale;
    const long value = std::strtol(text.c_str() + from, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

double ParseLeadingDouble(const std::string& text, size_t from) {
    CLocaleScope cLocale;
    return std::strtod(text.c_str() + from, nullptr);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view WithoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

bool IsSectionHeader(std::string_view line) {
    line = WithoutCarriageReturn(line);
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

bool IsKeyHeader(std::string_view line) {
    line = WithoutCarriageReturn(line);
    return IsSectionHeader(line) &&
           EqualsIgnoringCase(line.substr(1, line.size() - 2), ConfigStore::kRegistryKey);
}

// Value names compare without regard to case, as the names of registry values do.
bool IsValueLine(std::string_view line, std::string_view name) {
    const size_t equals = line.find('=');
    return equals != std::string_view::npos &&
           EqualsIgnoringCase(line.substr(0, equals), name);
}

// The registry file is small INI-style text:
//   [SOFTWARE\QMT]
//   COMMPORT=1
// Lines are kept as they are, so values and keys written by anyone else survive a write.
struct RegistryLines {
    std::vector<std::string> lines;

    // Index of the key's header line, or lines.size() when the key is missing.
    size_t FindKey() const {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (IsKeyHeader(lines[i])) {
                return i;
            }
        }
        return lines.size();
    }
    // One past the key's last line.
    size_t KeyEnd(size_t header) const {
        size_t i = header + 1;
        while (i < lines.size() && !IsSectionHeader(lines[i])) {
            ++i;
        }
        return i;
    }
    std::optional<size_t> FindValue(size_t header, const std::string& name) const {
        const size_t end = KeyEnd(header);
        for (size_t i = header + 1; i < end; ++i) {
            if (IsValueLine(lines[i], name)) {
                return i;
            }
        }
        return std::nullopt;
    }
};

// A missing file is an empty registry; a file that is there but cannot be read is not, or a
// write would throw away whatever it holds.
std::optional<RegistryLines> LoadRegistry(const std::filesystem::path& path) {
    RegistryLines registry;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return error ? std::nullopt : std::optional<RegistryLines>(registry);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
        registry.lines.push_back(line);
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return registry;
}

// Readers never see a half-written registry: the new text goes to a temporary file in the
// same folder, which then replaces the old one in a single rename.
bool ReplaceAtomically(const std::filesystem::path& path, const std::string& text) {
    return WriteFileSafely(path.string(), text, nullptr);
}

bool EnsureFolder(const std::filesystem::path& folder) {
    return !folder.empty() && MakeDirs(folder.string());
}

}  // namespace

ConfigStore::ConfigStore() : folder_(UserConfigFolder()) {}

ConfigStore::ConfigStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

ConfigStore ConfigStore::ForUser() { return ConfigStore(); }

ConfigStore ConfigStore::Discarding() {
    ConfigStore store(std::filesystem::path{});
    store.discard_ = true;
    return store;
}

std::filesystem::path ConfigStore::UserConfigFolder() { return UserConfigDir(); }

std::filesystem::path ConfigStore::SettingsFilePath() const {
    return folder_ / kSettingsFileName;
}

std::filesystem::path ConfigStore::RegistryFilePath() const {
    return folder_ / kRegistryFileName;
}

bool ConfigStore::WriteSettingsText(const std::string& text) const {
    if (discard_) return true;
    if (!EnsureFolder(folder_)) {
        return false;
    }
    return WriteFileSafely(SettingsFilePath().string(), text, nullptr);
}

bool ConfigStore::WriteSettingsFormatA(int portNumber, uint32_t baudRate,
                                       double crystalMHz) const {
    return WriteSettingsText(Format("COM%d$BAUD%d$CRYSTAL%f$$", portNumber,
                                    static_cast<int>(baudRate), crystalMHz));
}

bool ConfigStore::WriteSettingsFormatB(int portNumber, uint32_t baudRate) const {
    return WriteSettingsText(
        Format("COM%1d BAUD%d $$", portNumber, static_cast<int>(baudRate)));
}

bool ConfigStore::ReadStartupSettings(CommSettings& settings) const {
    // Without a home folder the bare file name would be looked up in the current directory.
    if (folder_.empty()) {
        return false;
    }
    std::ifstream in(SettingsFilePath(), std::ios::binary);
    if (!in) {
        return false;
    }
    // One byte beyond the limit tells a file that fits from one that was cut.
    std::array<char, kMaxFileBytes + 1> buffer{};
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    const bool cut = got > kMaxFileBytes;
    const size_t length = cut ? kMaxFileBytes : got;

    // Anything that would not fit is refused rather than shortened: a shortened field still
    // parses, and would quietly give another port, rate or crystal than the one written.
    // For the same reason a file longer than the reader's buffer is accepted only when its
    // three fields are closed inside that buffer; what follows the third "$" never mattered.
    constexpr std::array<size_t, 3> limits = {kMaxPortField, kMaxRateField, kMaxCrystalField};
    std::array<std::string, 3> fields;
    size_t state = 0;
    bool closed = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = buffer[i];
        if (c == '$') {
            if (++state == fields.size()) {
                closed = true;
                break;
            }
            continue;
        }
        if (fields[state].size() == limits[state]) {
            return false;
        }
        fields[state].push_back(c);
    }
    if (cut && !closed) {
        return false;
    }

    if (!fields[0].starts_with("COM") || !fields[1].starts_with("BAUD") ||
        !fields[2].starts_with("CRYSTAL")) {
        return false;
    }
    settings.portNumber = ParseLeadingInt(fields[0], 3);
    settings.baudRate = static_cast<uint32_t>(ParseLeadingInt(fields[1], 4));
    settings.crystalMHz = ParseLeadingDouble(fields[2], 7);
    return true;
}

int ConfigStore::WriteRegistryValue(const std::string& name, const std::string& text) const {
    if (discard_) return 1;
    // A name or text that the one-line-per-value file cannot hold is a failed write, not a
    // corrupted neighbour.
    if (name.empty() || name.front() == '[' ||
        name.find_first_of(std::string_view("=\r\n\0", 4)) != std::string::npos ||
        text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return 0;
    }
    // The value buffer holds 32 bytes; a text that does not fit keeps its first 30.
    const std::string stored = text.size() < 32 ? text : text.substr(0, 30);

    if (!EnsureFolder(folder_)) {
        return 0;
    }
    std::optional<RegistryLines> registry = LoadRegistry(RegistryFilePath());
    if (!registry) {
        return 0;
    }
    std::vector<std::string>& lines = registry->lines;
    size_t header = registry->FindKey();
    if (header == lines.size()) {
        lines.push_back(std::string("[") + kRegistryKey + "]");
    }
    const std::string valueLine = name + "=" + stored;
    if (const std::optional<size_t> existing = registry->FindValue(header, name)) {
        lines[*existing] = valueLine;
    } else {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(registry->KeyEnd(header)),
                     valueLine);
    }

    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += '\n';
    }
    return ReplaceAtomically(RegistryFilePath(), content) ? 1 : 0;
}

std::optional<std::string> ConfigStore::ReadRegistryValue(const std::string& name) const {
    if (folder_.empty()) {
        return std::nullopt;
    }
    const std::optional<RegistryLines> registry = LoadRegistry(RegistryFilePath());
    if (!registry) {
        return std::nullopt;
    }
    const size_t header = registry->FindKey();
    if (header == registry->lines.size()) {
        return std::nullopt;
    }
    const std::optional<size_t> index = registry->FindValue(header, name);
    if (!index) {
        return std::nullopt;
    }
    const std::string_view line = WithoutCarriageReturn(registry->lines[*index]);
    return std::string(line.substr(line.find('=') + 1));
}

bool ConfigStore::WritePortName(const std::string& name) const {
    if (discard_) return true;
    const std::filesystem::path path = folder_ / kPortNameFileName;
    if (name.empty()) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return !ec;
    }
    if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return false;
    return EnsureFolder(folder_) && ReplaceAtomically(path, name + "\n");
}

std::optional<std::string> ConfigStore::ReadPortName() const {
    if (discard_) return std::nullopt;
    std::ifstream in(folder_ / kPortNameFileName);
    std::string line;
    if (!in || !std::getline(in, line) || line.empty()) return std::nullopt;
    return line;
}

}  // namespace tessel
