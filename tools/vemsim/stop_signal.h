// Stop requests for vemsim's main thread: Ctrl+C, termination requests and the "quit" command.
#pragma once

namespace zel::vem::sim {

// Routes SIGINT and SIGTERM (Windows: console Ctrl+C, Ctrl+Break and close) to the stop
// request. Call once, before any other thread starts.
bool installStopSignal();
// Requests the stop; safe from any thread.
void raiseStopSignal();
// Blocks until a stop was requested; returns at once when one already was.
void waitForStopSignal();

}  // namespace zel::vem::sim
