#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string>

#include "Commands.h"
#include "Interrupt.h"
#include "platform/PortList.h"

int main(int argc, char** argv) {
    using namespace tessel::cli;
    CLI::App app{"tessel: in-application programming of Norvik51 microcontrollers through "
                 "their boot-strap loader"};
    app.set_version_flag("--version", std::string("tessel ") + TESSEL_VERSION);
    // Usage lines name the program, not the path it was started from: the man page shows them.
    app.name("tessel");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 success; 1 the command failed (the target or the file refused, a compare differed, "
        "a question was answered No, a wrong password); "
        "2 bad options; 3 the port could not be opened or its device went away (unplugged); 4 no boot loader "
        "answered.");
    RunState state;
    AddBaudCommand(app, state);
    AddInfoCommands(app, state);
    AddDetectCommand(app, state);
    AddFlashCommands(app, state);
    AddConfigCommands(app, state);
    AddPasswordCommands(app, state);
    AddOperatorCommands(app, state);
    AddCompletionTable(app);
    InstallInterruptHandlers();
    // Port listings, serial:NUMBER and --all-usb read this tree instead of /dev and /sys.
    if (const char* tree = std::getenv("TESSEL_DEVICE_TREE")) tessel::SetDeviceTreeRoot(tree);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }
    // An interrupted command has run its recovery by now; the status says it was stopped.
    if (InterruptSignal() != 0) return ReportInterruption();
    return PortWentAway() ? kExitPortError : state.exitCode;
}
