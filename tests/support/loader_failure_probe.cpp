// Prints one line when it gets to run: its library (loader_failure_dll) may fail to load first.
#include <cstdio>

extern "C" int loaderFailureProbeValue();

int main() {
    std::printf("ran %d\n", loaderFailureProbeValue());
    return 0;
}
