#pragma once
// Several boards from one process: each named port gets its own session, detection and
// password gate on its own thread, so the boards are programmed at the same time and one
// board's failure stops no other. Nothing of one session is shared with another: each board
// has its own event stream, whose views share only the terminal (one console that keeps a
// line per board) and standard output (whole JSON lines, each tagged with the board's port).

#include <functional>
#include <string>
#include <vector>

#include "Connection.h"

namespace tessel::cli {

// Where the boards' ports come from: --port given more than once, --ports-from, --all-usb.
struct GangPorts {
    std::vector<std::string> ports;
    std::string portsFrom;
    bool allUsb = false;
};

// The common options, with a repeatable -p/--port in place of the single one, --ports-from and
// --all-usb.
void AddGangConnectOptions(CLI::App* cmd, RunState& state, GangPorts& g);

// The device a port name leads to, whatever link or relative name it is given by: two names
// of one device would be two sessions on one line.
std::string DeviceIdentity(const std::string& port);

// The ports to run on, in the order given (a --port before the sub-command counts when none
// follows it), read from the file as one name per line (blank lines and lines starting with #
// skipped), then every USB serial adapter present. False after saying why: a file that cannot
// be read, no adapter for --all-usb, one device twice.
bool CollectPorts(const GangPorts& g, const std::string& globalPort, EventStream& events,
                  std::vector<std::string>* out);

// One board's work: its options (port set), the stream its events go to, the result it fills.
using BoardJob = std::function<int(const ConnectOptions&, EventStream&, CommandResult&)>;

// Runs `job` once per port, each on its own thread with its own copy of the options and its
// own event stream, prints the table of results and fills the run's result with one entry per
// board. `change` names what the command does to every chip ("" for a command that changes
// nothing): without --yes it is asked once at the terminal before any board starts. The exit
// status is 0 only when every board's job returned 0, otherwise 1.
int RunGang(RunState& state, const ConnectOptions& base, const std::vector<std::string>& ports,
            const std::string& change, const BoardJob& job);

// Runs the command on one board when at most one port was named (none: the one USB adapter
// present), otherwise on all of them side by side: the common entry of the commands that take
// several ports.
int RunOnPorts(RunState& state, const GangPorts& g, const std::string& change, const BoardJob& job);

// What the flash-changing commands ask before a gang run.
inline constexpr const char kEraseAndProgram[] = "Data in the sectors concerned will be erased";

}  // namespace tessel::cli
