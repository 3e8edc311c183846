// The library's entry point for Windows, and processTerminating() which it feeds.
#include <windows.h>

#include <atomic>

#include "vem/process_state.h"

namespace zel::vem {

namespace {
std::atomic<bool> g_terminating{false};
}

bool processTerminating() {
    return g_terminating.load();
}

}  // namespace zel::vem

// The runtime calls this before it runs the library's static destructors at unload, so the
// singleton's destructor sees the flag. A non-null `reserved` at detach means process exit.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        zel::vem::g_terminating.store(true);
    }
    return TRUE;
}
