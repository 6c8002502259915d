#pragma once
// Several boards from one process: each named port gets its own session, detection and
// password gate on its own thread, so the boards are programmed at the same time and one
// board's failure stops no other. Nothing of one session is shared with another; the only
// thing the threads share is the terminal, through one console that keeps a line per board.

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

// Replaces the connect options' single --port by a repeatable one and adds --ports-from and
// --all-usb; the rest of the connect options are added as usual.
void AddGangConnectOptions(CLI::App* cmd, ConnectOptions& o, GangPorts& g);

// The ports to run on, in the order given, read from the file as one name per line (blank
// lines and lines starting with # skipped), then every USB serial adapter present. False after
// saying why: no port, a file that cannot be read, no adapter for --all-usb, one device twice.
bool CollectPorts(const GangPorts& g, std::vector<std::string>* out);

// Runs `job` once per port, each on its own thread with its own copy of the options (port
// set, output routed to that board's line), and prints the table of results. `change` names
// what the command does to every chip ("" for a command that changes nothing): without --yes
// it is asked once at the terminal before any board starts. The exit status is 0 only when
// every board's job returned 0, otherwise 1.
int RunGang(const ConnectOptions& base, const std::vector<std::string>& ports, const std::string& change,
            const std::function<int(const ConnectOptions&)>& job);

// Runs the command on one board when one port was named, otherwise on all of them side by
// side: the common entry of the commands that take several ports.
int RunOnPorts(ConnectOptions& base, const GangPorts& g, const std::string& change,
               const std::function<int(const ConnectOptions&)>& job);

// What the flash-changing commands ask before a gang run.
inline constexpr const char kEraseAndProgram[] = "Data in the sectors concerned will be erased";

}  // namespace tessel::cli
