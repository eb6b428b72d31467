// Signals that end a run. SIGINT, SIGTERM and SIGHUP only raise the run's stop
// flag: the library then stops at its next check and removes everything it
// made, which a handler could not do safely. SIGPIPE is ignored, so a console
// piped into a program that quits early only makes writes fail.
#pragma once

#include <atomic>

class InterruptGuard {
public:
    // Installs the handlers; the destructor restores what was there before.
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Becomes true at the first of the signals.
    const std::atomic<bool>* flag() const;
    // The signal that raised the flag; 0 while none has arrived.
    int signalNumber() const;
};
