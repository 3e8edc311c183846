// Process environment and temporary folders for tests that each run in a process of their own.
#pragma once

#include <cstdlib>
#include <string>

#include "suite/path.h"
#include "suite/strings.h"

namespace zel::vem::test {

inline void setEnv(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

inline void unsetEnv(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

}  // namespace zel::vem::test
