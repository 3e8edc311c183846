// processTerminating(): whether the process is exiting while the library is being unloaded.
#pragma once

namespace zel::vem {

// True only on Windows, while DLL_PROCESS_DETACH runs for process exit: the other threads are
// already gone then, possibly with locks held.
bool processTerminating();

}  // namespace zel::vem
