#pragma once
// SIGINT, SIGTERM, SIGHUP and SIGQUIT at the terminal (on Windows: Ctrl-C, Ctrl-Break and the
// console closing, platform/Console.h). The first one asks the session's work to stop
// at its next safe point (the command then runs its own recovery and the program ends with
// a line that says what was done and what was not); a second one ends the program at once,
// still naming any backup file that holds the operator's data.

#include <string>
#include <vector>

namespace tessel {
class StopRequest;
}

namespace tessel::cli {

// Installs the handlers; call once, before any command runs.
void InstallInterruptHandlers();

// A session's stop request, which the handlers raise and whose backup list a second signal
// names, from Watch until Unwatch; several may be watched at once (boards side by side).
void WatchStopRequest(StopRequest* stop);
void UnwatchStopRequest(StopRequest* stop);

// The signal that arrived first (a console::StopKind), 0 while none did.
int InterruptSignal();

// 128 + the signal: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP.
int InterruptExitCode(int signal);

// Remembers what the stop left behind on the board at `port` for the last line, while the
// session still exists. Safe from the boards' threads.
void RecordInterruption(const StopRequest& stop, const std::string& port);

// The backup files a session leaves behind with operator data not put back on the chip,
// gathered from every board for the result. Safe from the boards' threads.
void RecordBackups(const std::vector<std::string>& backups);
std::vector<std::string> RecordedBackups();

// The last line of an interrupted run: the signal, what the stop left undone, any backups.
// `completed`, when not empty, is the summary of a command that finished its work before the
// stop could take effect: the line names that work as done.
std::string InterruptionLine(const std::string& completed = "");

// Writes that failed in this run (the wire trace, standard output once its reader went
// away): "" when none did. Said at the end, after the command finished its work.
std::string LostWrites();

// Waits until a line can be read from standard input without blocking: true then, false once
// a signal has come or the input has failed. A read that merely blocked could miss a signal
// that arrived just before it began.
bool WaitForInputLine();

}  // namespace tessel::cli
