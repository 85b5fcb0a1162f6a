#include "cancel.h"

#include <atomic>
#include <csignal>

namespace vivanto {

namespace {

// Written by the signal handler while render threads read it, so every access
// is atomic; the stage's own reads are atomic too. A lock-free atomic store is
// one of the few things a signal handler may do.
alignas(std::atomic_ref<HostBool>::required_alignment) HostBool flag = 0;
static_assert(std::atomic_ref<HostBool>::is_always_lock_free);

extern "C" void onInterrupt(int)
{
    std::atomic_ref<HostBool>(flag).store(1, std::memory_order_relaxed);
}

} // namespace

void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

HostBool* cancelFlag()
{
    return &flag;
}

bool cancelled()
{
    return std::atomic_ref<HostBool>(flag).load(std::memory_order_relaxed) == 1;
}

} // namespace vivanto
