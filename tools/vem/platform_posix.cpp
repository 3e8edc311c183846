// POSIX side of platform.h.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace vemcli {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool setEnvironment(const char* name, const char* value) {
    return ::setenv(name, value, 1) == 0;
}

bool isTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void setBinaryOutput(std::FILE*) {}

bool replaceFile(const std::string& source, const std::string& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

}  // namespace vemcli
