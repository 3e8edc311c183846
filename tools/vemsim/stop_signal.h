// Stopping vemsim: Ctrl+C, termination requests and the "quit" command; and dying on purpose.
#pragma once

namespace zel::vem::sim {

// Routes SIGINT and SIGTERM (Windows: console Ctrl+C, Ctrl+Break and close) to the stop
// request. Call once, before any other thread starts.
bool installStopSignal();
// Requests the stop; safe from any thread.
void raiseStopSignal();
// Blocks until a stop was requested; returns at once when one already was.
void waitForStopSignal();

// Ends the process at once with `code`, as a crash would: no cleanup, no flushing. Windows:
// TerminateProcess, not ExitProcess, whose library clean-up can wait for a lock that one of the
// threads it has just ended was holding (the C runtime's stream lock, say), and never finish.
[[noreturn]] void endProcessNow(int code);

}  // namespace zel::vem::sim
