#include "app/interrupts.h"

#include <signal.h>

#include <csignal>

namespace {

// A signal handler can reach nothing but static storage; these two are the
// whole of it, written only by the handler.
std::atomic<bool> stopRequested{false};
volatile std::sig_atomic_t stopSignal = 0;

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousStop[3];
struct sigaction previousPipe;

extern "C" void onStopSignal(int number)
{
    if (stopSignal == 0)
        stopSignal = number;
    stopRequested.store(true);
}

} // namespace

InterruptGuard::InterruptGuard()
{
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls restart: every check of the flag is between steps.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &action, &previousStop[i]);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

InterruptGuard::~InterruptGuard()
{
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &previousStop[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

const std::atomic<bool>* InterruptGuard::flag() const
{
    return &stopRequested;
}

int InterruptGuard::signalNumber() const
{
    return stopSignal;
}
