// The exposure weight curve and the gamma table, built once per run before
// any worker starts and read-only afterwards.
#pragma once

#include "support/console.h"
#include "support/settings.h"

#include <cstdint>
#include <vector>

namespace quovix {

struct CurveTables {
    // Exposure weight of a 14-bit value (0..65535); entries 16384.. hold 65535.
    std::vector<uint16_t> weightCurve = std::vector<uint16_t>(65536);
    // Gamma-decoded value of a 14-bit value; entries 16384.. hold 16383.
    std::vector<uint16_t> linearTable = std::vector<uint16_t>(65536);
};

// Builds the gamma table from the settings' gamma, the weight curve from their
// curve, and prints the curve when printCurve is set.
void buildCurveTables(const RunSettings& settings, Console& console, CurveTables& tables);
void buildWeightCurve(uint16_t* weightCurve, double contrast, double brightness, double shadows, double highlights,
                      double floorShadow, double floorHighlight);
void printWeightCurve(Console& console, const uint16_t* weightCurve);

} // namespace quovix
