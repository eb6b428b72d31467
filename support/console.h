// The console of one run: every line the library prints goes through the
// run's message callback; the debug log; the numbered memory and file trace.
#pragma once

#include "quovix/quovix.h"
#include "support/status.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace quovix {

// Sequence numbers of the trace lines; each advances only when its line is
// printed, so without tracing they stay 0.
struct ResourceCounters {
    std::atomic<uint32_t> allocCount{0};
    std::atomic<uint32_t> freeCount{0};
    std::atomic<uint32_t> vAllocCount{0};
    std::atomic<uint32_t> vFreeCount{0};
    std::atomic<uint32_t> fileCloseCount{0};
};

class Console {
public:
    // A null sink drops the text. An empty debug log path means the
    // QVXTRACE environment variable, looked up until it is found.
    explicit Console(MessageCallback sink = {}, bool traceResources = false, std::string debugLogPath = {});
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void write(std::string_view text, MessageKind kind = MessageKind::Info);
    // A whole "Warning: " line about the result (MessageKind::Warning); the
    // console text around it goes on where it was.
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Text that matters when nothing else is shown (MessageKind::Notice): a
    // setting corrected, the lines that lead up to a failure.
    void notice(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Prints the message and a line end (the JPEG code's error line).
    void showErrorBox(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Appends one time-stamped line to the debug log; no-op without one.
    void debugLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // False while the last text printed ended inside a line (progress dots,
    // a message the next one continues).
    bool atLineStart() const { return atLineStart_; }

    bool tracing() const { return trace_; }
    void setTracing(bool on) { trace_ = on; }
    // Numbers and prints one trace line under the trace lock, so lines of
    // concurrent workers appear in the order of their numbers.
    void traceNumbered(std::atomic<uint32_t>& counter, const char* format, const void* address, int size = -1);
    void traceFileOpen(const char* path, const char* mode, const void* handle);
    void traceFileClose(const void* handle);

    ResourceCounters counters;

    // A callback that threw is not called again; the run ends with this
    // failure at its next check (before anything is committed).
    Status callbackStatus() const;

private:
    void emit(MessageKind kind, std::string_view text);
    // Calls the sink under the lock, catching what it throws.
    void deliver(MessageKind kind, std::string_view text);

    MessageCallback sink_;
    bool trace_ = false;
    std::atomic<bool> atLineStart_{true};
    std::string configuredLogPath_;
    std::string logPath_;
    mutable std::mutex mutex_;
    bool sinkFailed_ = false;  // guarded by mutex_
    std::string sinkError_;
};

// Monotonic wall clock in milliseconds, used for every elapsed-time line.
int64_t clockMs();

// Prints "<label>:  Elapsed time=%.2f secs\n" for the time since startMs.
void printElapsed(Console& console, const char* label, int64_t startMs);

} // namespace quovix
