#include "support/settings.h"

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

} // namespace quovix
