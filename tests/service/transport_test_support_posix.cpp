// Test support for the transport tests, POSIX: the native platform, never Wine.
#include "tests/service/transport_test_support.h"

namespace zel::vem::test {

bool runningUnderWine() {
    return false;
}

}  // namespace zel::vem::test
