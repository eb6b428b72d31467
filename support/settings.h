// The one process-wide record of every option of a run. Written on the main
// thread by the entry, the command-line parser and the validation, read-only
// once the first worker thread starts.
#pragma once

#include <cstdint>
#include <string>

enum CombineMode : int32_t {
    Average = 0,
    Maximum = 1,
    Hybrid = 2,
};

// Name printed for a mode: "Average", "Maximum", "Hybrid" (other values: "Unknown").
const char* combineModeName(int mode);

struct IterationParams {
    float exposureWeight = 0.0f;
    float contrastWeight = 0.0f;
    float saturationWeight = 0.0f;
    int32_t mode = Average;
};

struct CurveParams {
    float contrast = 0.0f;
    float brightness = 0.0f;
    float shadows = 0.0f;
    float highlights = 0.0f;
    float floorShadow = 0.1f;
    float floorHighlight = 0.1f;
};

struct LevelsParams {
    bool enabled = false;
    float blackPoint = 0.0f;
    float whitePoint = 1.0f;
    float weight = 0.5f;
    float factor = 1.0f;
};

struct NoiseParams {
    float lumaThreshold = 0.0f;
    float chromaThreshold = 0.0f;
    float lumaFactor = 0.0f;
    float chromaFactor = 0.0f;
    int32_t lumaLevels = 1;
    int32_t chromaLevels = 1;
    int32_t radius = 2;
    bool duringBlend = false;
    bool atFinalize = false;
};

struct RunSettings {
    // Output and file format
    std::string outputPath;
    int32_t outputBits = -1;
    int32_t tiffCompression = 5;
    bool bigTiff = false;
    int32_t jpegQuality = 90;

    // Pyramid and fusion
    int32_t levelCount = 0;
    int32_t levelOffset = 0;
    int32_t iterationCount = 2;
    IterationParams iteration1{0.0f, 1.0f, 0.0f, Maximum};
    IterationParams iteration2{1.0f, 0.0f, 0.0f, Average};
    float exposureThreshold = 0.33f;
    float gamma = 2.2f;
    int32_t exposureWeightMode = 0;
    int32_t exposureBlendLevels = 0;
    bool wrapAround = false;
    bool useYCrCb = false;
    float highlightThreshold = 0.1f;
    bool printCurve = false;
    CurveParams curve;
    LevelsParams levelsAdjust;
    NoiseParams noise;

    // Preview scaling
    bool scaled = false;
    float scaleFactor = 1.0f;
    int32_t constrainWidth = 0;
    int32_t constrainHeight = 0;

    // RAW conversion
    std::string converterPath;
    std::string converterArgs;

    // Diagnostics and run state
    int32_t verbosity = 0;
    bool showTiming = false;
    bool traceResources = false;
    bool debugKeep = false;
    bool keepGroupResults = false;
    int32_t workerCount = 1;
    int64_t startClock = 0;
};

extern RunSettings gSettings;

// Restores every field to its static default (tests and the parser's start).
void resetSettings();

// Worker count from NUMBER_OF_PROCESSORS: decimal (missing digits read as 0),
// clamped to 1..8; when unset, the online processor count clamped to 1..8.
int32_t workerCountFromEnvironment();
