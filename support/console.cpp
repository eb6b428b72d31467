#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// The path is looked up until it is found, then kept for the rest of the run.
char gLogPath[256] = {0};

} // namespace

void resetDebugLog() { gLogPath[0] = '\0'; }

void debugLog(const char* format, ...)
{
    if (gLogPath[0] == '\0') {
        const char* env = std::getenv("QVXTRACE");
        if (env == nullptr)
            return;
        std::snprintf(gLogPath, sizeof gLogPath, "%s", env);
        if (gLogPath[0] == '\0')
            return;
    }
    char line[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args); // over-long messages are cut
    va_end(args);

    FILE* f = std::fopen(gLogPath, "a");
    if (f == nullptr) {
        std::printf("Cannot open debug output file: %s", gLogPath);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::fprintf(f, "-- %02d:%02d:%02d.%03d --> ", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(now.tv_nsec / 1000000));
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
}

int showErrorBox(const char* format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::printf("%s\n", message);
    return 0;
}

void endProcess(int code)
{
    std::fflush(stdout);
    std::exit(code);
}

void fatalError(const char* message, int code)
{
    std::printf("Fatal Error: %s\n", message);
    endProcess(code);
}

int64_t clockMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void printElapsed(const char* label, int64_t startMs)
{
    std::printf("%s:  Elapsed time=%.2f secs\n", label,
                static_cast<double>(clockMs() - startMs) / 1000.0);
}
