#pragma once
// What every target command of `tessel` does first: take the port, chip, memory mode, rate and
// crystal from the options and detect the chip with them; and what the commands share
// afterwards: the rule book's verdict on their plan, the passwords, the chip as an event.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Events.h"
#include "TerminalOperator.h"
#include "files/ConfigStore.h"
#include "files/HexImage.h"
#include "transfer/ChipCheck.h"
#include "commands/Target.h"

namespace tessel::cli {

// What the flash commands' dialogs are filled with.
struct FlashOptions {
    int block = 0;
    int startSector = 0;
    int count = 0;  // 0: to the end of the block
    std::string file;
    std::string format = "auto";  // how to take the file: auto (from its content), hex or bin
    bool text = false;  // save: the hex-dump text
    // The password never comes from an argument: a file, an environment variable, or a
    // prompt without echo on the terminal.
    std::string passwordFile;
    std::string passwordEnv = "TESSEL_PASSWORD";
    // The password commands: the new password's sources, or none at all.
    std::string newPasswordFile;
    std::string newPasswordEnv = "TESSEL_NEW_PASSWORD";
    bool noNewPassword = false;
    bool lockOption = false;  // Set/Reset: the A-type chips' level-3 soft lock as well
    bool changedOnly = false;  // download: rewrite only the sectors that differ
};

// --block, --start-sector, the password options, and --count when the command takes a range.
void AddFlashOptions(CLI::App* cmd, FlashOptions& f, bool withCount);
// --password-file and --password-env, for every command that may meet the password gate.
void AddPasswordOptions(CLI::App* cmd, FlashOptions& f);

// The first line of a password file, read with a size limit (a FIFO or a device is refused).
constexpr size_t kPasswordFileLimit = 4096;
bool ReadPasswordLine(const std::string& path, std::string* line, std::string* error);
// Why the loader could never take this password ("" when it could): its encoding or length.
std::string CheckPasswordText(const std::string& text, const std::string& from);

class Connection;

// The two menus of one-time bits.
enum class BitMenu { Lock, Remap };
// An option of the lock or remap menu that the detected chip offers; false after saying
// which ones it does offer.
bool CheckMenuOption(BitMenu menu, int option, Connection& link);
// The lock menus' options, for the help of the options that take one.
std::string LockOptionsHelp();
// The option numbers of either lock menu ("1" to "6").
std::vector<std::string> LockOptionNumbers();

// What --format auto means, in the help of every option that has it.
inline constexpr const char* kFormatAuto =
    "auto (by the name: .hex is Intel HEX, .bin is binary; for any other name Intel HEX when its first "
    "non-blank character is ':', else binary), hex or bin";
// --format auto|hex|bin, for the commands that read an image file.
void AddFormatOption(CLI::App* cmd, FlashOptions& f);
ImageFormat ImageFormatFromName(const std::string& name);

class Connection {
public:
    Connection(const ConnectOptions& o, EventStream& events);
    ~Connection();

    // Checks the options and runs the detection; kExitOk when the link is up with firmware
    // 1.1F, otherwise the exit code that says why not.
    int Connect();
    // Connect, saying why when it fails.
    int ConnectReporting();
    // Names the port and its rate in the session without detecting anything, for the
    // commands that open the port themselves.
    void UsePort(uint32_t baud);
    // The chip information now, as an event; `show` when a person asked to see it.
    void ReportChip(bool show);
    // The detection's chip event is shown to a person too (detect).
    void ShowDetectedChip() { showChip_ = true; }

    // Where the chip type came from: "reported" by the loader, "chosen" by the operator
    // (--chip, or the stand-in board's name), or "assumed" for want of either.
    const char* ModelSource() const;
    // The chip type as a person should read it: "NX31A16 (chosen, not reported by the loader)".
    std::string ModelText() const;

    // The flash commands' sectors and passwords come from `f` (which must outlive the
    // command); checks them against the detected chip first: false after printing why not.
    bool UseFlashOptions(const FlashOptions& f, bool rangeCount);

    // Asks the rule book whether the detected chip's state lets the command run (in an
    // external-flash window when `inWindow`); kExitOk, or kExitUsage after saying which rule
    // forbids it. Nothing is sent either way.
    int CheckRule(RuledCommand command, bool inWindow, bool readsOnly = false);

    // One step of a command's plan: what the command line calls it ("" for the command
    // itself, "--run", "--lock 4") and the window command that does it.
    struct PlanStep {
        std::string label;
        std::optional<RuledCommand> command;  // none: the rule book has no row for it
        bool inWindow = false;
        bool readsOnly = false;  // this use changes nothing on the chip
    };
    // Every step of the plan asked of the rule book before the first byte: kExitOk, or
    // kExitUsage after naming the first step that may not run and the rule that forbids it.
    int CheckPlan(const std::vector<PlanStep>& steps);
    // A refusal by a guard once the chip is known: said, and kExitUsage.
    int Refuse(const std::string& step, const std::string& why);

    // Before a command that erases or burns bits: the chip type against what the chip answers
    // (as much as `what` needs). kExitOk; kExitUsage when an answer contradicts it;
    // kExitNoTarget or kExitPortError when the line fell silent; each after saying why. `alike`
    // gets the note on the types the answers cannot rule out ("" when there are none).
    int CheckChipType(ChipCheckFor what, std::string* alike = nullptr);
    // A check before the command's first change (the chip type, the password gate) that
    // refused it, as the session keeps it: kExitOk when none did; else the exit status (a
    // wrong --chip a usage error, a silent line the link's) with `why` for its line.
    int RefusedBeforeChange(std::string* why) const;
    // " (the chip type NX31A32 was assumed: give --chip)" when nobody chose the type, else "".
    std::string AssumedNote() const;

    // The current and new passwords of `password change` and `password set`, from the
    // options' sources or the terminal.
    PasswordRequest PasswordTexts(bool change);

    Target& Board() { return *target_; }
    TerminalOperator& Op() { return op_; }
    EventStream& Events() { return events_; }
    // Why the command failed, for its result line: a stop the operator asked for, else the
    // step that failed with its address, else the last message the command itself showed.
    std::string FailureReason() const;
    const ConnectOptions& Options() const { return o_; }
    // Why the port could not be opened, when it could not.
    const std::string& OpenError() const { return openError_; }

private:
    enum class Secret { Fixed, Prompted, Cancel, Nobody };
    Secret ReadSecret(const std::string& file, const std::string& envName, const char* prompt, int attempt,
                      std::string* out) const;
    Secret ReadSecretText(const std::string& file, const std::string& envName, const char* prompt, int attempt,
                          std::string* out) const;
    bool CurrentPassword(int attempt, std::string* out);
    bool ReadNewPassword(int attempt, std::string* password, std::string* retype);
    std::optional<std::string> GatePassword(int attempt);
    bool PickPort();
    int OpenPortFirst();

    // The port names a stand-in board whose loader is 1.1E.
    bool SimLoaderIs11E() const;
    ConnectOptions o_;
    EventStream& events_;
    int chipType_ = 0;
    bool showChip_ = false;
    TerminalOperator op_;
    ConfigStore store_;
    std::unique_ptr<Target> target_;
    const FlashOptions* flash_ = nullptr;
    int passwordAttempts_ = 0;
    std::string openError_;
};

}  // namespace tessel::cli
