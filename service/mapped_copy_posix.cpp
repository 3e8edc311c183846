// Guarded copies out of shared mappings: the SIGBUS handler and the table of copies in flight.
#include "service/mapped_copy_posix.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace zel::vem {

namespace {

// One copy in flight. A thread claims a free slot through `busy`, then publishes its range; the
// handler runs on the faulting thread (SIGBUS from a memory access is synchronous), which is the
// one copying, so it finds that thread's range. Slots are lock-free: the handler may interrupt a
// thread anywhere, including while it claims or frees a slot.
struct Slot {
    std::atomic<bool> busy{false};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> faulted{false};
};
constexpr size_t kSlots = 64;
Slot slots[kSlots];

// Written once, before our handler goes in, and only read afterwards.
struct sigaction previousAction;
uintptr_t pageMask = 4095;

// The two handler fields share their storage on the systems we build for, so SIG_DFL and SIG_IGN
// show in sa_handler whichever kind of handler was installed.
bool isDefaultOrIgnored(const struct sigaction& action) {
    return action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN;
}

// A fault that is not ours: whoever handled SIGBUS before gets it, as if we were not there.
void passOn(int signal, siginfo_t* info, void* context) {
    if (!isDefaultOrIgnored(previousAction)) {
        if (previousAction.sa_flags & SA_SIGINFO) {
            previousAction.sa_sigaction(signal, info, context);
        } else {
            previousAction.sa_handler(signal);
        }
        return;
    }
    // An ignored SIGBUS that another process sent stays ignored; a fault cannot be ignored (the
    // kernel would have ended the process for it anyway).
    const bool sentByProcess = info == nullptr || info->si_code <= 0;
    if (previousAction.sa_handler == SIG_IGN && sentByProcess) {
        return;
    }
    // The default ends the process. SIGBUS is blocked while this runs: raised now, it arrives the
    // moment the handler returns, whether it came from a fault or from kill.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    raise(SIGBUS);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    // si_code > 0: raised by the kernel for an access, so si_addr is the address touched.
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
        for (Slot& slot : slots) {
            const uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
            const uintptr_t end = slot.end.load(std::memory_order_relaxed);
            if (begin == 0 || address < begin || address >= end) {
                continue;
            }
            // Zero pages from the faulting page to the end of the range: the copy then runs to
            // its end instead of faulting page after page. mmap is a plain system call, safe here.
            const uintptr_t from = address & ~pageMask;
            const uintptr_t to = (end + pageMask) & ~pageMask;
            if (mmap(reinterpret_cast<void*>(from), to - from, PROT_READ,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
                slot.faulted.store(true, std::memory_order_relaxed);
                errno = savedErrno;
                return;
            }
            break;
        }
    }
    passOn(signal, info, context);
    errno = savedErrno;
}

bool handlerInstalled() {
    // Once per process; a host that installs its own handler later is not fought.
    static const bool installed = [] {
        const long page = sysconf(_SC_PAGESIZE);
        if (page > 0) {
            pageMask = static_cast<uintptr_t>(page) - 1;
        }
        if (sigaction(SIGBUS, nullptr, &previousAction) != 0) {
            return false;
        }
        struct sigaction ours {};
        ours.sa_sigaction = onBusError;
        // SA_ONSTACK: a thread that set up an alternate stack for faults keeps using it.
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&ours.sa_mask);
        return sigaction(SIGBUS, &ours, nullptr) == 0;
    }();
    return installed;
}

Slot* claimSlot() {
    for (Slot& slot : slots) {
        bool expected = false;
        if (!slot.busy.load(std::memory_order_relaxed) &&
            slot.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

MappedCopy copyFromMapping(void* dest, const void* source, size_t count) {
    if (count == 0) {
        return MappedCopy::Done;
    }
    Slot* slot = handlerInstalled() ? claimSlot() : nullptr;
    if (slot == nullptr) {
        return MappedCopy::Unguarded;
    }
    const auto begin = reinterpret_cast<uintptr_t>(source);
    slot->faulted.store(false, std::memory_order_relaxed);
    slot->end.store(begin + count, std::memory_order_relaxed);
    slot->begin.store(begin, std::memory_order_relaxed);
    // The fences keep the compiler from moving the copy's loads out of the guarded stretch: the
    // handler runs on this thread, so ordering against it is all that is needed.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(dest, source, count);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const bool faulted = slot->faulted.load(std::memory_order_relaxed);
    slot->begin.store(0, std::memory_order_relaxed);
    slot->end.store(0, std::memory_order_relaxed);
    slot->busy.store(false, std::memory_order_release);
    return faulted ? MappedCopy::Faulted : MappedCopy::Done;
}

}  // namespace zel::vem
