// The settings of one run: the public options as given, resolved by the run's
// setup (level count, output bits, scale factor, worker count), then checked.
// Written before the first worker starts and read-only afterwards.
#pragma once

#include "quovix/quovix.h"

#include <cstdint>
#include <string>

namespace quovix {

// Name printed for a mode: "Average", "Maximum", "Hybrid" (other values: "Unknown").
const char* combineModeName(CombineMode mode);

inline int32_t modeValue(CombineMode mode) { return static_cast<int32_t>(mode); }

struct RunSettings : Options {
    int64_t startClock = 0;

    RunSettings() = default;
    explicit RunSettings(const Options& options) : Options(options) {}

    int32_t tiffCompression() const { return static_cast<int32_t>(compression); }
};

} // namespace quovix
