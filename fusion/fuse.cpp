// The library's entry: one fusion run from options and input names.
#include "analysis/analyse_images.h"
#include "analysis/exposure_curve.h"
#include "analysis/fusion_run.h"
#include "analysis/motion_masks.h"
#include "fusion/fusion_driver.h"
#include "fusion/run_setup.h"
#include "fusion/settings_check.h"
#include "imageio/camera_metadata.h"
#include "imageio/jpeg_io.h"
#include "imageio/raw_engine.h"

#include "quovix/version.h"

#include <memory>
#include <new>

namespace quovix {

namespace {

// The run sequence: settle the inputs, check the settings, build the curves,
// report, find what moved (when asked), analyse every input, fuse.
Status runStages(FusionRun& run, const std::vector<std::string>& inputs)
{
    QVX_TRY(setupRun(run, inputs));
    QVX_TRY(run.console.callbackStatus());
    if (!run.settings.alignOnly.empty())
        return Status();  // the aligned inputs were all that was asked for
    validateSettings(run);
    buildCurveTables(run.settings, run.console, run.curves);
    printSettingsReport(run);
    if (run.settings.deghost)
        QVX_TRY(detectMotion(run));
    // Analysis and fusion of every entry; the driver revises the estimate
    // once the exposure groups are known.
    const int64_t pyramid = pyramidPixels(run.canvas.width, run.canvas.height, run.depths.levelCount);
    run.progress.expect(pyramid * run.images.count() * 2);
    QVX_TRY(analyseImages(run, run.images, run.depths.levelCount,
                          run.settings.focusMode == FocusMode::Select));
    QVX_TRY(run.console.callbackStatus());
    QVX_TRY(run.checkCancel());
    return runFusion(run);
}

} // namespace

std::string automaticOutputName(const Options& options, const std::vector<std::string>& inputs)
{
    if (inputs.empty())
        return {};
    return makeOutputName(RunSettings(options), inputs.front(), inputs.back());
}

void initialize()
{
    initializeMetadataLibrary();
}

bool isJpegOutputName(const std::string& path)
{
    return hasJpegExtension(path);
}

const char* versionString()
{
    return QUOVIX_SOFTWARE;
}

FuseResult fuse(const Options& options, const std::vector<std::string>& inputs, const std::string& output)
{
    FuseResult result;
    Status status;
    bool atLineStart = true;
    try {
        auto run = std::make_unique<FusionRun>(options);
        if (!output.empty())
            run->settings.outputPath = output;
        run->settings.startClock = clockMs();
        status = runStages(*run, inputs);
        // A step stopped by the request may have failed in its own words
        // (a converter killed by the same Ctrl-C, a write cut short).
        if (!status.ok() && run->cancelled())
            status = interrupted();
        atLineStart = run->console.atLineStart();
        result.outputPath = run->settings.outputPath;
        if (status.ok() && run->settings.alignOnly.empty()) {
            const RunSettings& s = run->settings;
            result.width = run->canvas.width;
            result.height = run->canvas.height;
            const bool wide = run->depths.outputBits == 16 && !s.scaled && !hasJpegExtension(s.outputPath);
            result.bitsPerSample = wide ? 16 : 8;
            run->progress.finish();
        }
        run->images = ImageList();
        result.keptScratch = run->scratch.finish(run->settings.debugKeep || run->settings.keepGroupResults);
        if (status.ok())
            status = run->console.callbackStatus();
    } catch (const std::bad_alloc&) {
        // The run's destructor has removed its scratch folder.
        status = outOfMemory();
    } catch (const std::exception& e) {
        status = internalError(e.what());
    }
    if (!status.ok()) {
        result.exitCode = status.exitCode();
        result.errorKind = status.kind();
        // The final error is a line of its own, whatever was printed before.
        result.error = status.consoleText();
        if (!result.error.empty()) {
            if (!atLineStart && result.error.front() != '\n')
                result.error.insert(0, "\n");
            if (result.error.back() != '\n')
                result.error += '\n';
        }
    }
    return result;
}

int describeRawFile(const Options& options, const std::string& path)
{
    RunSettings settings(options);
    if (settings.converterPath.empty())
        settings.converterPath = "dcraw";
    Console console(options.onMessage);
    return describeRaw(settings, console, path);
}

} // namespace quovix
