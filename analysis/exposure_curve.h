// The exposure weight curve and the gamma table, built once at start-up.
#pragma once

#include <cstdint>

// Exposure weight of a 14-bit value (0..65535); entries 16384.. hold 65535.
extern uint16_t weightCurve[65536];
// Gamma-decoded value of a 14-bit value; entries 16384.. hold 16383.
extern uint16_t linearTable[65536];

// Builds linearTable from gSettings.gamma, weightCurve from gSettings.curve, and
// prints the curve when gSettings.printCurve is set.
void buildCurveTables();
void buildWeightCurve(double contrast, double brightness, double shadows, double highlights,
                      double floorShadow, double floorHighlight);
void printWeightCurve();
