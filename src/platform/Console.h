#pragma once
// What a command-line program needs of its console: whether a stream is a terminal, a prompt
// that does not echo, waiting for a line without missing a stop, the requests to stop (POSIX
// signals; Windows' Ctrl-C, Ctrl-Break and the console window closing) and the host's name.
// The programs reach the system through here only; nothing below the programs calls it.

#include <cstddef>
#include <string>

namespace tessel::console {

enum class Stream { Input, Output, Error };

// True when the stream is an interactive terminal (a console window on Windows).
bool IsTerminal(Stream stream);
// How many columns the terminal on `stream` has; then $COLUMNS; 0 when neither says.
int Columns(Stream stream);
// True when the stream is a terminal that can redraw a line: not one whose TERM is "dumb" (an
// editor's shell buffer, a serial console), where a carriage return or an erase code would
// only be litter.
bool CanRedraw(Stream stream);

// A request to stop, numbered as POSIX numbers its signals so that the exit status is the
// same everywhere (128 + the number). Windows' Ctrl-C is Interrupt, Ctrl-Break is Quit, and
// a closing console, log-off or shut-down is HangUp.
enum StopKind : int { kHangUp = 1, kInterrupt = 2, kQuit = 3, kTerminate = 15 };
// How the last line names it: the signal (POSIX) or the key or event (Windows).
const char* StopName(int kind);

// Calls `handler` with the kind of every request to stop, from a signal handler (POSIX) or a
// thread of its own (Windows): it may only do what is safe there. Call once. With
// `allKinds`, a write to a closed pipe or past the file-size limit then fails rather than
// ending the program; without it, only SIGINT and SIGTERM are caught on POSIX and the other
// signals keep their default.
void InstallStopHandler(void (*handler)(int kind), bool allKinds = true);

// Writes to standard output without locking or allocating: safe in the stop handler.
void WriteRaw(const char* text);
// Ends the process now, without running the program's clean-up.
[[noreturn]] void ExitNow(int status);

// Turns off the echo of standard input when it is a terminal, keeping the settings it had;
// false when it is no terminal (nothing to put back).
bool HideInputEcho();
// Puts back what HideInputEcho kept, once; safe in the stop handler.
void RestoreInputEcho();

// Waits up to `timeoutMs` for standard input to have something to read (or to have ended):
// 1 then, 0 when the time ran out or a signal came, -1 when the input failed.
int WaitForInput(int timeoutMs);

// This machine's name on the network; "" when the system does not say.
std::string HostName();

// This process's id, and whether the process `pid` of this host still runs.
long ProcessId();
bool ProcessRunning(long pid);

}  // namespace tessel::console
