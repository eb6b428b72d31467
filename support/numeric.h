// Conversions whose edge cases are part of the output format.
#pragma once

#include <cstdint>
#include <limits>

namespace quovix {

// Float to int truncating toward zero; NaN and out-of-range values give
// INT32_MIN, as the processor's own conversion does, instead of undefined
// behaviour.
inline int32_t truncFloat(float v)
{
    if (!(v >= -2147483648.0f && v < 2147483648.0f))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

} // namespace quovix
