// Windows side of platform.h.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace vemcli {

bool setEnvironment(const char* name, const char* value) {
    return ::_putenv_s(name, value) == 0;
}

bool isTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

void setBinaryOutput(std::FILE* stream) {
    ::_setmode(::_fileno(stream), _O_BINARY);
}

bool replaceFile(const std::string& source, const std::string& target) {
    // rename() refuses an existing target on Windows.
    return ::MoveFileExA(source.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

const bool kNtfsFileNames = true;

unsigned long processId() {
    return ::GetCurrentProcessId();
}

}  // namespace vemcli
