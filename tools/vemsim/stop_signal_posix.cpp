// Stop requests for POSIX: signal handlers write to a pipe that the main thread waits on.
#include "tools/vemsim/stop_signal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zel::vem::sim {

namespace {

// The self-pipe: writing one byte is all a handler may safely do.
int g_pipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (write(g_pipe[1], &byte, 1) < 0) {
        // Full pipe: a stop is pending already.
    }
    errno = saved;
}

}  // namespace

bool installStopSignal() {
    if (pipe(g_pipe) != 0) {
        return false;
    }
    for (int fd : g_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A client that goes away mid-reply must not kill the service.
    signal(SIGPIPE, SIG_IGN);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void raiseStopSignal() {
    onSignal(0);
}

void waitForStopSignal() {
    struct pollfd item {};
    item.fd = g_pipe[0];
    item.events = POLLIN;
    while (poll(&item, 1, -1) < 0 && errno == EINTR) {
    }
}

void endProcessNow(int code) {
#ifdef __linux__
    // Straight to the kernel: _exit would still run a sanitizer's end-of-process checks, which
    // report the threads a crash leaves behind and change the exit code.
    syscall(SYS_exit_group, code);
#endif
    _exit(code);
}

}  // namespace zel::vem::sim
