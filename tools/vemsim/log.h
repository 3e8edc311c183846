// vemsim's log: one line per event on standard error, whole lines even from many threads.
#pragma once

#include "suite/memory.h"

namespace zel::vem::sim {

// Writes "vemsim: " and the formatted text as one line and flushes it.
void logLine(const char* format, ...) ZEL_PRINTF(1, 2);

// Per-request lines for frame loads are wanted only when asked for (--verbose): they would
// dominate the log and slow the hot path.
void setVerbose(bool verbose);
bool verbose();

}  // namespace zel::vem::sim
