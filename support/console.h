// Console output, the debug log, the error line and the fatal-error convention.
#pragma once

#include <cstdint>

// Exit codes of the process. -1 and -100 reach the shell as 255 and 156.
enum ExitCode : int {
    kExitOk = 0,
    kExitFatal = 1,        // failures reported through fatalError
    kExitIoError = -1,     // image open/read/format failures, thread start failure
    kExitNoMemory = -100,  // memory exhausted
};

// Appends one time-stamped line to the file named by QVXTRACE; no-op when unset.
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints the message and a line end on standard output (no window here).
int showErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints "Fatal Error: <message>\n" and ends the process with the code.
[[noreturn]] void fatalError(const char* message, int code);

// Ends the process with the code after flushing output (exit handlers run).
[[noreturn]] void endProcess(int code);

// Monotonic wall clock in milliseconds, used for every elapsed-time line.
int64_t clockMs();

// Prints "<label>:  Elapsed time=%.2f secs\n" for the time since startMs.
void printElapsed(const char* label, int64_t startMs);

// Forgets the looked-up QVXTRACE path (tests change the variable between cases).
void resetDebugLog();
