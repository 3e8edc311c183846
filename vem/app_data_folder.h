// The per-user local application-data folder under which emulator mode keeps its movies.
#pragma once

#include "suite/strings.h"

namespace zel::vem {

// The user's local application-data folder, created when missing; empty when it cannot be named.
CStringW localAppDataFolder();
// The emulator's folder relative to it, in the platform's own form.
CStringW emulatorRelativeFolder();

}  // namespace zel::vem
