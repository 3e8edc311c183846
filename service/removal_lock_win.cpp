// RemovalLock on Windows: a named mutex of the session, named after the pipe.
#include <windows.h>

#include <string>

#include "service/removal_lock.h"
#include "service/text_util.h"

namespace zel::vem {

RemovalLock::RemovalLock(const char* pipeName, uint32_t timeoutMs) {
    std::u16string wide = toWide(pipeName);
    std::wstring name = L"Local\\zelvem-remove-" + std::wstring(wide.begin(), wide.end());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) {
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(mutex);
    switch (WaitForSingleObject(mutex, timeoutMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // its holder died; what it guarded is the service's, still whole
            held_ = true;
            break;
        case WAIT_TIMEOUT:
            busy_ = true;
            break;
        default:
            break;
    }
}

RemovalLock::~RemovalLock() {
    if (handle_ != -1) {
        HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        if (held_) {
            ReleaseMutex(mutex);
        }
        CloseHandle(mutex);
    }
}

}  // namespace zel::vem
