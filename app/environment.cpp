#include "app/environment.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

int32_t workerCountFromEnvironment()
{
    long value;
    if (const char* env = std::getenv("NUMBER_OF_PROCESSORS"))
        value = std::strtol(env, nullptr, 10); // saturates on overflow
    else
        value = sysconf(_SC_NPROCESSORS_ONLN);
    if (value < 1)
        return 1;
    if (value > 8)
        return 8;
    return static_cast<int32_t>(value);
}

void takeEnvironment(quovix::Options& options)
{
    if (options.workerCount == 0)
        options.workerCount = workerCountFromEnvironment();
    if (options.tempFolder.empty()) {
        const char* env = std::getenv("TMPDIR");
        if (env != nullptr)
            options.tempFolder = env;
    }
    if (options.debugLogPath.empty()) {
        if (const char* env = std::getenv("QVXTRACE"))
            options.debugLogPath = std::string(env).substr(0, 255);
    }
    // A PATH set but empty names the working folder alone, as for the shell.
    if (options.searchPath.empty()) {
        if (const char* env = std::getenv("PATH"))
            options.searchPath = *env != '\0' ? env : ".";
    }
}
