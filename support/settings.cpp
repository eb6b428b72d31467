#include "support/settings.h"

#include <unistd.h>

#include <cstdlib>

RunSettings gSettings;

const char* combineModeName(int mode)
{
    switch (mode) {
    case Average: return "Average";
    case Maximum: return "Maximum";
    case Hybrid: return "Hybrid";
    default: return "Unknown";
    }
}

void resetSettings() { gSettings = RunSettings{}; }

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
