#include "support/settings.h"

#include <unistd.h>

#include <cstdlib>

namespace quovix {

const char* combineModeName(CombineMode mode)
{
    switch (mode) {
    case CombineMode::Average: return "Average";
    case CombineMode::Maximum: return "Maximum";
    case CombineMode::Hybrid: return "Hybrid";
    default: return "Unknown";
    }
}

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

} // namespace quovix
