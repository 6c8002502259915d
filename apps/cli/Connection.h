#pragma once
// What every target command of `tessel` does first: take the port, chip, memory mode, rate and
// crystal from the options, fill the set-up dialogs with them, and run the detection command
// of the main window, as an operator of the desktop program would.

#include <memory>
#include <string>

#include "Commands.h"
#include "ConsoleView.h"
#include "TerminalOperator.h"
#include "files/ConfigStore.h"
#include "ui/MainDialog.h"

namespace tessel::cli {

struct ConnectOptions {
    std::string port;
    std::string chip;  // default: the stand-in board's chip, else NX31A32
    std::string mode = "internal";
    uint32_t baud = 0;  // 0: the best rate for the crystal
    double crystal = 11.0592;
    std::string firmware = "1.1F";
    std::string traceWire;
    bool yes = false;
    bool verbose = false;
};

void AddConnectOptions(CLI::App* cmd, ConnectOptions& o);

class Connection {
public:
    explicit Connection(const ConnectOptions& o);
    ~Connection();

    // Checks the options and runs the detection; kExitOk when the link is up with firmware
    // 1.1F, otherwise the exit code that says why not.
    int Connect();

    MainDialog& Window() { return *window_; }
    TerminalOperator& Op() { return op_; }
    ConsoleView& View() { return *view_; }

private:
    DialogResult Fill(DialogModel& model);

    ConnectOptions o_;
    int chipType_ = 0;
    TerminalOperator op_;
    ConfigStore store_;
    std::unique_ptr<MainDialog> window_;
    std::unique_ptr<ConsoleView> view_;
};

}  // namespace tessel::cli
