#include "fusion/settings_check.h"

#include <cmath>

namespace quovix {

namespace {

bool rescaleIteration(IterationParams& it, float defaultExposure, float defaultContrast)
{
    float sum = it.contrastWeight + it.exposureWeight + it.saturationWeight;
    if (sum == 1.0f)
        return false;
    if (sum == 0.0f || !std::isfinite(sum)) {
        // Nothing to rescale by: fall back to the iteration's default weights.
        it.exposureWeight = defaultExposure;
        it.contrastWeight = defaultContrast;
        it.saturationWeight = 0.0f;
        return true;
    }
    it.exposureWeight /= sum;
    it.contrastWeight /= sum;
    it.saturationWeight /= sum;
    return true;
}

} // namespace

int normalizeWeights(IterationParams& iteration1, IterationParams& iteration2)
{
    int rescaled = 0;
    if (rescaleIteration(iteration1, 0.0f, 1.0f))
        ++rescaled;
    if (rescaleIteration(iteration2, 1.0f, 0.0f))
        ++rescaled;
    return rescaled;
}

void validateSettings(RunContext& run)
{
    RunSettings& s = run.settings;
    if (s.iterationCount < 1 || s.iterationCount > 2) {
        run.console.notice("Invalid iteration count...resetting to 2\n");
        s.iterationCount = 2;
    }
    if (normalizeWeights(s.iteration1, s.iteration2) > 0)
        run.console.notice("Invalid weights (must sum to 1 for each iteration)...resetting\n");
    if (modeValue(s.iteration1.mode) < 0 || modeValue(s.iteration1.mode) > 2) {
        run.console.notice("Invalid laplacian combination mode 1...resetting\n");
        s.iteration1.mode = CombineMode::Maximum;
    }
    if (modeValue(s.iteration2.mode) < 0 || modeValue(s.iteration2.mode) > 2) {
        run.console.notice("Invalid laplacian combination mode 2...resetting\n");
        s.iteration2.mode = CombineMode::Average;
    }
    // Negated comparisons so that a NaN is reset as well.
    if (!(s.gamma >= 0.5f && s.gamma <= 10.0f)) {
        run.console.notice("Invalid Gamma value...resetting\n");
        s.gamma = 2.2f;
    }
    struct CurveCheck {
        float* value;
        const char* name;
        float reset;
    };
    const CurveCheck curveChecks[] = {
        {&s.curve.contrast, "contrast", 0.0f},
        {&s.curve.brightness, "brightness", 0.0f},
        {&s.curve.shadows, "shadows", 0.0f},
        {&s.curve.highlights, "highlights", 0.0f},
        {&s.curve.floorShadow, "floorShadow", 0.1f},
        {&s.curve.floorHighlight, "floorHighlight", 0.1f},
    };
    for (const CurveCheck& c : curveChecks) {
        if (!(std::fabs(*c.value) <= 5.0f)) {
            run.console.notice("Invalid exposure curve %s value...resetting\n", c.name);
            *c.value = c.reset;
        }
    }
    if (s.jpegQuality < 1 || s.jpegQuality > 100) {
        run.console.notice("Invalid JPEG Quality...resetting\n");
        s.jpegQuality = 90;
    }
    if (!(s.highlightThreshold >= 0.0f && s.highlightThreshold <= 1.0f)) {
        run.console.notice("Invalid highlight constraint threshold...resetting\n");
        s.highlightThreshold = 0.1f;
    }
}

void printSettingsReport(FusionRun& run)
{
    const RunSettings& s = run.settings;
    run.console.print("Output: %s\nInput Images: %d\nIterations: %d\nLevels: %d\n", s.outputPath.c_str(),
                run.images.count(), s.iterationCount, run.depths.levelCount);
    if (s.verbosity > 0) {
        run.console.print("Exposure Diff Threshold: %.2f, Gamma=%.2f\n", s.exposureThreshold, s.gamma);
        run.console.print("Exposure curve params [b,c,s,h,sf,hf] = %.2f, %.2f, %.2f, %.2f, %.2f, %.2f\n\n",
                    s.curve.brightness, s.curve.contrast, s.curve.shadows, s.curve.highlights,
                    s.curve.floorShadow, s.curve.floorHighlight);
        if (s.iterationCount == 1) {
            run.console.print("  Fusion iteration 1: Not used\n");
        } else {
            run.console.print("  Fusion iteration 1:\n    Weights (Exposure, Contrast, Saturation) = %.2f, %.2f, %.2f\n"
                        "    Laplacian combination mode=%s\n",
                        s.iteration1.exposureWeight, s.iteration1.contrastWeight, s.iteration1.saturationWeight,
                        combineModeName(s.iteration1.mode));
        }
        run.console.print("  Fusion iteration 2:\n    Weights (Exposure, Contrast, Saturation) = %.2f, %.2f, %.2f\n"
                    "    Laplacian combination mode=%s\n",
                    s.iteration2.exposureWeight, s.iteration2.contrastWeight, s.iteration2.saturationWeight,
                    combineModeName(s.iteration2.mode));
    }
    run.console.print("\n");
}

} // namespace quovix
