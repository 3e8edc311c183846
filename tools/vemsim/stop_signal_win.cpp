// Stop requests for Windows: the console control handler sets an event the main thread waits on.
#include "tools/vemsim/stop_signal.h"

#include <windows.h>

namespace zel::vem::sim {

namespace {

HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            SetEvent(g_stopEvent);
            // CTRL_CLOSE_EVENT ends the process when the handler returns; give the main
            // thread a moment to close the pipes first.
            if (type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
                Sleep(2000);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool installStopSignal() {
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return g_stopEvent != nullptr && SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

void raiseStopSignal() {
    SetEvent(g_stopEvent);
}

void waitForStopSignal() {
    WaitForSingleObject(g_stopEvent, INFINITE);
}

void endProcessNow(int code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    for (;;) {
        // TerminateProcess on the current process does not return; the loop only tells the
        // compiler so.
    }
}

}  // namespace zel::vem::sim
