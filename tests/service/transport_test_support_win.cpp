// Test support for the transport tests, Windows: telling Wine from Windows.
#include <windows.h>

#include "tests/service/transport_test_support.h"

namespace zel::vem::test {

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace zel::vem::test
