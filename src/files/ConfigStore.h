#pragma once
// The operator's serial set-up (port, rate, crystal) survives from one run to the next in a
// one-line settings file, read once at start-up. The port and rate are also mirrored as text
// values under the key "SOFTWARE\QMT" in a small key-value file beside it; nothing in the
// tool reads those back, they are kept for other tools that look for them.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessel {

// What the start-up read fills in; the defaults are what a first run uses.
struct CommSettings {
    int portNumber = 1;  // 1-based: 1 is COM1
    uint32_t baudRate = 38400;
    double crystalMHz = 11.0592;
};

class ConfigStore {
public:
    static constexpr const char* kSettingsFileName = "QmtBslComDft.txt";
    static constexpr const char* kRegistryFileName = "registry.txt";
    static constexpr const char* kRegistryKey = "SOFTWARE\\QMT";

    // The reader takes at most this much of the settings file, and each field must fit in
    // these lengths (characters, without a terminator).
    static constexpr size_t kMaxFileBytes = 48;
    static constexpr size_t kMaxPortField = 11;
    static constexpr size_t kMaxRateField = 15;
    static constexpr size_t kMaxCrystalField = 31;

    // The user's configuration folder (see UserConfigFolder).
    ConfigStore();
    // Any folder; it is created on the first write.
    explicit ConfigStore(std::filesystem::path folder);
    static ConfigStore ForUser();
    // A store that reads nothing and writes nowhere (each write reports success): for the
    // command line, whose options are its settings and must not change what the desktop
    // program opens with.
    static ConfigStore Discarding();

    // $XDG_CONFIG_HOME/tessel, or ~/.config/tessel when that is unset, empty or relative.
    static std::filesystem::path UserConfigFolder();

    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path SettingsFilePath() const;
    std::filesystem::path RegistryFilePath() const;

    // "COM%d$BAUD%d$CRYSTAL%f$$", replacing any older file. False when the file cannot be
    // written; the callers go on without a message.
    bool WriteSettingsFormatA(int portNumber, uint32_t baudRate, double crystalMHz) const;
    // "COM%1d BAUD%d $$": carries no crystal, and the start-up read does not accept it.
    bool WriteSettingsFormatB(int portNumber, uint32_t baudRate) const;

    // Replaces `settings` by the file's values when the file is there and well formed;
    // otherwise leaves it untouched. True when the values were taken.
    bool ReadStartupSettings(CommSettings& settings) const;

    // Sets a text value under kRegistryKey, creating the key when it is missing. A text of
    // 32 characters or more is stored as its first 30. Returns 1 on success, 0 on failure.
    int WriteRegistryValue(const std::string& name, const std::string& text) const;
    std::optional<std::string> ReadRegistryValue(const std::string& name) const;

    // A port chosen by its device name (a path, the stand-in board) has no COM number for
    // the files above, which keep "COM1" for it; the name itself is kept in a file of its
    // own. An empty name removes it, so a later COM choice is not overridden at start-up.
    static constexpr const char* kPortNameFileName = "port-name.txt";
    bool WritePortName(const std::string& name) const;
    std::optional<std::string> ReadPortName() const;

private:
    bool WriteSettingsText(const std::string& text) const;

    std::filesystem::path folder_;
    bool discard_ = false;
};

}  // namespace tessel
