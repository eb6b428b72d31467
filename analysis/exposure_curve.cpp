// The exposure weight curve and the gamma table. Both are built once on the
// main thread before any worker starts and are read-only afterwards.
#include "analysis/exposure_curve.h"

#include <vector>
#include <cmath>
#include <cstddef>
#include <cstdio>

namespace quovix {

namespace {

constexpr int kCurveSize = 16384;

// Request line for a chart-rendering web service (line chart of the curve).
constexpr const char kChartPrefix[] =
    "https://chart.example.org"
    "/chart?chs=500x350&cht=lc&chxt=x,y,x&chxl=0:|0|128|255|1:|0(Low%%20Weight)|1(High%%20Weight)|"
    "2:|%%20(Dark)|0.5%%20(Midtones)|1.0%%20(Light)%%20&chf=c,lg,0,ffffff,1,000000,0|bg,s,cccccc"
    "&chtt=Quovix%%20Exposure%%20Weight%%20Curve&chts=0000AA,16&chco=ff4444&chls=3,1,0&chd=t:";

// Scales a curve to a peak of 1 and lifts it onto its floor m / (m + 1). A
// curve that underflowed to 0 everywhere has no peak to scale by; it is taken
// as flat at its floor rather than divided by zero.
void normaliseCurve(double* curve, double maximum, double m)
{
    for (int i = 0; i < kCurveSize; ++i) {
        const double scaled = maximum > 0.0 ? curve[i] / maximum : 0.0;
        curve[i] = (scaled + m) / (m + 1.0);
    }
}

} // namespace

void buildWeightCurve(uint16_t* weightCurve, double contrast, double brightness, double shadows, double highlights,
                      double floorShadow, double floorHighlight)
{
    const double k = 2.0 * std::pow(2.0, contrast);
    const double g = std::pow(2.0, brightness);
    const double hS = std::pow(2.0, shadows);
    const double hH = std::pow(2.0, highlights);
    const double mS = std::pow(1.2, floorShadow) - 1.0;
    const double mH = std::pow(1.2, floorHighlight) - 1.0;
    const double gmax = g > 1.0 ? g : 1.0;
    const double gmin = g < 1.0 ? g : 1.0;

    const double pS = k * hS * gmax;
    const double qS = k * hS / gmin;
    const double pH = k * hH * gmax;
    const double qH = k * hH / gmin;

    // Shadow and highlight curves one after the other: the join below looks
    // one sample past the shadow curve's end, which is the highlight curve's
    // first sample. Not a tracked block: building the tables adds no line to
    // the -dm trace, so its numbering starts with the run's first real buffer.
    std::vector<double> work(2 * kCurveSize);
    double* shadow = work.data();
    double* highlight = work.data() + kCurveSize;

    double maxS = 0.0;
    double maxH = 0.0;
    for (int i = 0; i < kCurveSize; ++i) {
        const double x = i / 16383.0;
        shadow[i] = std::pow(1.0 - x, qS) * std::pow(x, pS);
        highlight[i] = std::pow(1.0 - x, qH) * std::pow(x, pH);
        if (shadow[i] > maxS)
            maxS = shadow[i];
        if (highlight[i] > maxH)
            maxH = highlight[i];
    }
    normaliseCurve(shadow, maxS, mS);
    normaliseCurve(highlight, maxH, mH);

    // Left of the shadow curve's peak the shadow curve, from the peak on the
    // highlight curve.
    bool onHighlight = false;
    for (int i = 0; i < kCurveSize; ++i) {
        if (!onHighlight && shadow[i] > shadow[i + 1])
            onHighlight = true;
        if (onHighlight)
            shadow[i] = highlight[i];
        if (shadow[i] < 0.0)
            shadow[i] = 0.0;
    }

    for (int i = 0; i < kCurveSize; ++i) {
        const double v = shadow[i] * 65535.0;
        weightCurve[i] = static_cast<uint16_t>(static_cast<int32_t>(v < 0.0 ? v - 0.49999999 : v + 0.49999999));
    }
    for (int i = kCurveSize; i < 65536; ++i)
        weightCurve[i] = 65535;
}

void buildCurveTables(const RunSettings& settings, Console& console, CurveTables& tables)
{
    uint16_t* linearTable = tables.linearTable.data();
    const double gamma = settings.gamma;
    for (int i = 0; i < 65536; ++i) {
        if (i >= kCurveSize) {
            linearTable[i] = 16383;
            continue;
        }
        const float x = static_cast<float>(i / 16383.0);
        linearTable[i] = static_cast<uint16_t>(std::trunc(std::pow(static_cast<double>(x), gamma) * 16383.0));
    }

    const CurveParams& c = settings.curve;
    buildWeightCurve(tables.weightCurve.data(), c.contrast, c.brightness, c.shadows, c.highlights, c.floorShadow,
                     c.floorHighlight);

    if (settings.printCurve)
        printWeightCurve(console, tables.weightCurve.data());
}

void printWeightCurve(Console& console, const uint16_t* weightCurve)
{
    char chart[2048];
    int used = std::snprintf(chart, sizeof chart, kChartPrefix);
    for (int i = 0; i < kCurveSize; ++i) {
        if (i % 64 != 0)
            continue;
        console.print("exposure: %i -> weight: %.5f\n", i / 64, static_cast<float>(weightCurve[i]) / 65535.0f);
        if (i % 320 == 0 && used >= 0 && static_cast<size_t>(used) < sizeof chart) {
            const int percent = static_cast<int>(weightCurve[i] * 100.0 / 65535.0);
            used += std::snprintf(chart + used, sizeof chart - used, "%s%d", i == 0 ? "" : ",", percent);
        }
    }
    console.print("\nURL For Exposure Curve Chart:\n\n%s\n\n", chart);
}

} // namespace quovix
