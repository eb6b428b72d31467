// Alignment as a step of whole runs (--align and its options), on real
// photographs: the hand-held crusader bracket, exposure-shifted copies of one
// of its frames moved by known hand-held motions, and a frame of another scene.
#include "fusion/align_photos.h"

#include "alignment/homography.h"
#include "alignment/transform_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

using namespace alignrun;
using quovix::align::Homography;

constexpr int kFrames = 7;

// The seven frames at half and at quarter size, written once for every test here.
class AlignRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        photos_ = new TempDir();
        for (int k = 1; k <= kFrames; ++k) {
            const std::string jpeg = sourceDir() + "/examples/crusader/" + std::to_string(k) + ".jpeg";
            half_.push_back(photos_->file("half" + std::to_string(k) + ".tif"));
            quarter_.push_back(photos_->file("quarter" + std::to_string(k) + ".tif"));
            ASSERT_TRUE(writeFixtureTiff(half_.back(), reducedPhoto(jpeg, 0.5)));
            ASSERT_TRUE(writeFixtureTiff(quarter_.back(), reducedPhoto(jpeg, 0.25)));
        }
    }
    static void TearDownTestSuite()
    {
        delete photos_;
        photos_ = nullptr;
        half_.clear();
        quarter_.clear();
    }

    Options options(int workers = 1)
    {
        Options o = testOptions(tmp_.path());
        o.workerCount = workers;
        return o;
    }

    // A whole run in-process; what it printed goes to `printed`.
    FuseResult run(const Options& o, const std::vector<std::string>& inputs, std::string* printed = nullptr)
    {
        FuseResult result;
        const std::string text = captureOutput([&] { result = fuse(o, inputs); });
        if (printed != nullptr)
            *printed = text;
        return result;
    }

    // The output bytes of a run that must succeed.
    std::string fusedBytes(Options o, const std::vector<std::string>& inputs, const std::string& name)
    {
        o.outputPath = tmp_.file(name);
        std::string printed;
        const FuseResult result = run(o, inputs, &printed);
        EXPECT_TRUE(result.ok()) << result.error << printed;
        return readFile(o.outputPath);
    }

    static TempDir* photos_;
    static std::vector<std::string> half_;
    static std::vector<std::string> quarter_;
    TempDir tmp_;
};

TempDir* AlignRunTest::photos_ = nullptr;
std::vector<std::string> AlignRunTest::half_;
std::vector<std::string> AlignRunTest::quarter_;

std::string identityFile(const std::vector<std::string>& inputs)
{
    std::string text;
    for (const std::string& f : inputs)
        text += f + "\t1 0 0 0 1 0 0 0 1\n";
    return text;
}

std::vector<FixtureImage> readAligned(const std::string& folder, const std::vector<std::string>& inputs)
{
    std::vector<FixtureImage> frames;
    for (const std::string& input : inputs) {
        std::string stem = input.substr(input.rfind('/') + 1);
        stem.erase(stem.rfind('.'));
        frames.push_back(readFixtureTiff(folder + "/" + stem + "_aligned.tif"));
    }
    return frames;
}

// The hand-held bracket as the run aligns it (the frames --alignOnly
// writes), against the same frames written unmoved (identity transforms),
// compared pair by pair over the area every aligned frame covers. The
// figurine stands well in front of the wall: no plane transform lines up
// both, so the drop is bounded by the parallax, and for the darkest against
// the brightest frame by what clipping leaves to compare.
TEST_F(AlignRunTest, HandHeldBracketLinesUp)
{
    Options aligned = options(2);
    aligned.alignOnly = tmp_.file("aligned");
    std::string printed;
    FuseResult result = run(aligned, half_, &printed);
    ASSERT_TRUE(result.ok()) << result.error << printed;
    EXPECT_EQ(printed.find("Warning"), std::string::npos) << printed;

    writeFile(tmp_.file("identity.txt"), identityFile(half_));
    Options unaligned = options(2);
    unaligned.alignOnly = tmp_.file("unaligned");
    unaligned.alignLoad = tmp_.file("identity.txt");
    result = run(unaligned, half_);
    ASSERT_TRUE(result.ok()) << result.error;

    const std::vector<FixtureImage> after = readAligned(aligned.alignOnly, half_);
    const std::vector<FixtureImage> before = readAligned(unaligned.alignOnly, half_);
    const size_t pixels = static_cast<size_t>(after[0].width) * after[0].height;
    std::vector<uint8_t> common(pixels, 1);
    for (const FixtureImage& f : after) {
        ASSERT_EQ(f.width, after[0].width);
        ASSERT_EQ(f.samples, 4);
        for (size_t p = 0; p < pixels; ++p)
            common[p] &= f.data[p * 4 + 3] != 0 ? 1 : 0;
    }
    size_t covered = 0;
    for (uint8_t c : common)
        covered += c;
    EXPECT_GT(covered, pixels * 6 / 10);  // the motion leaves most of the frame shared

    double sumBefore = 0.0, sumAfter = 0.0;
    for (int i = 0; i + 1 < kFrames; ++i) {
        const double b = exposureMatchedDifference(linearGrey(before[i]), linearGrey(before[i + 1]), common);
        const double a = exposureMatchedDifference(linearGrey(after[i]), linearGrey(after[i + 1]), common);
        std::printf("  frames %d-%d: %.4f as shot, %.4f aligned (%.2fx)\n", i + 1, i + 2, b, a, b / a);
        EXPECT_GE(b / a, 2.0) << "frames " << i + 1 << "-" << i + 2;
        sumBefore += b;
        sumAfter += a;
    }
    std::printf("  all pairs: %.2fx\n", sumBefore / sumAfter);
    EXPECT_GE(sumBefore / sumAfter, 2.8);
}

// An 8-bit RGB fixture from a 16-bit frame of v * 257 samples.
FixtureImage fixtureFrom(const quovix::align::LoadedFrame& frame)
{
    FixtureImage image = makeFixture(frame.width, frame.height, 3, 8);
    for (size_t k = 0; k < image.data.size(); ++k)
        image.data[k] = static_cast<uint16_t>(frame.pixels[k] / 257);
    return image;
}

// Shots of one real frame, exposure-shifted (-3 to +3 EV) and, unless
// `registered`, moved by hand-held motions (the middle one is the
// reference, unmoved); written as 8-bit TIFFs into `folder`.
struct Shots {
    std::vector<std::string> paths;
    std::vector<Homography> truth;  // each frame's pixels -> the reference's
    int width = 0, height = 0;
};

Shots writeShots(const std::string& folder, const std::string& prefix, bool registered)
{
    Shots shots;
    const cv::Mat photo = alignfx::linearPhoto(sourceDir() + "/examples/crusader/2.jpeg", 0.3);
    EXPECT_FALSE(photo.empty());
    const int margin = 30;
    const cv::Size size(photo.cols - 2 * margin, photo.rows - 2 * margin);
    shots.width = size.width;
    shots.height = size.height;
    const int w = size.width, h = size.height;
    const double ev[] = {-3.0, -1.5, 0.0, 1.5, 3.0};
    const Homography moves[] = {
        alignfx::motion(8.3, -5.1, 0.8, 1.0, 2e-5, 0.0, w, h),
        alignfx::motion(-6.2, 4.4, -0.6, -0.8, 0.0, 1.5e-5, w, h),
        quovix::align::identityHomography(),
        alignfx::motion(5.5, 7.7, 1.1, 0.6, -1e-5, 1e-5, w, h),
        alignfx::motion(-9.1, -3.3, -0.9, 1.2, 0.0, 0.0, w, h),
    };
    for (int i = 0; i < 5; ++i) {
        shots.paths.push_back(folder + "/" + prefix + std::to_string(i) + ".tif");
        shots.truth.push_back(registered ? quovix::align::identityHomography() : moves[i]);
        EXPECT_TRUE(writeFixtureTiff(shots.paths.back(), fixtureFrom(alignfx::shoot(photo, shots.truth.back(),
                                                                                    {margin, margin}, size, ev[i],
                                                                                    0.0))));
    }
    return shots;
}

// The figure's gradients in a fused result against those of the reference
// frame: exposure-shifted copies of one real frame (-3 to +3 EV) fuse to
// the reference's geometry when registered perfectly; moved by hand-held
// motions and fused with --align, they must come close to that (ghost edges
// lower the correlation).
TEST_F(AlignRunTest, AlignedFusionKeepsTheReferenceGeometry)
{
    const Shots still = writeShots(tmp_.path(), "registered", true);
    const Shots shaken = writeShots(tmp_.path(), "moved", false);
    const std::vector<std::string>& registered = still.paths;
    const std::vector<std::string>& moved = shaken.paths;
    const int w = still.width, h = still.height;
    const FixtureImage reference = readFixtureTiff(registered[2]);
    const cv::Mat referenceGradient = gradientMagnitude(linearGrey(reference), w, h);
    const cv::Rect figure(static_cast<int>(w * 0.38), static_cast<int>(h * 0.33), static_cast<int>(w * 0.37),
                          static_cast<int>(h * 0.52));
    auto figureCorrelation = [&](const Options& o, const std::vector<std::string>& inputs, const char* name) {
        Options withOutput = o;
        withOutput.outputPath = tmp_.file(name);
        std::string printed;
        const FuseResult result = run(withOutput, inputs, &printed);
        EXPECT_TRUE(result.ok()) << result.error << printed;
        const FixtureImage fused = readFixtureTiff(withOutput.outputPath);
        EXPECT_EQ(fused.width, w);
        if (fused.width != w || fused.height != h)
            return 0.0;
        return correlation(gradientMagnitude(linearGrey(fused), w, h), referenceGradient, figure);
    };
    Options align = options();
    align.align = true;
    const double perfect = figureCorrelation(options(), registered, "registered.tif");
    const double aligned = figureCorrelation(align, moved, "aligned.tif");
    const double unaligned = figureCorrelation(options(), moved, "unaligned.tif");
    std::printf("  gradient correlation over the figure: registered %.3f, aligned %.3f (%.3f of it), "
                "unaligned %.3f (%.3f)\n",
                perfect, aligned, aligned / perfect, unaligned, unaligned / perfect);
    EXPECT_GT(perfect, 0.8);
    EXPECT_GE(aligned, 0.9 * perfect);
    EXPECT_LT(unaligned, 0.9 * perfect);  // the measure sees the ghosts alignment removes
}

// A frame of another scene among the bracket is left out of the fusion, with
// a warning naming it: the result is the one of the other frames alone, still
// aligned. --alignKeepFailed fuses it unaligned instead.
TEST_F(AlignRunTest, FrameOfAnotherSceneIsLeftOutUnlessKept)
{
    const FixtureImage like = readFixtureTiff(quarter_[2]);
    cv::Mat pcb = alignfx::readJpeg(sourceDir() + "/examples/focus_pcb/pcb_001.jpg");
    ASSERT_FALSE(pcb.empty());
    cv::resize(pcb, pcb, cv::Size(like.width, like.height), 0, 0, cv::INTER_AREA);
    FixtureImage other = makeFixture(like.width, like.height, 3, 8);
    for (int r = 0; r < pcb.rows; ++r)
        for (int k = 0; k < pcb.cols * 3; ++k)
            other.data[static_cast<size_t>(r) * pcb.cols * 3 + k] = pcb.ptr<uint8_t>(r)[k];
    const std::string stranger = tmp_.file("pcb.tif");
    ASSERT_TRUE(writeFixtureTiff(stranger, other));

    Options o = options();
    o.align = true;
    o.verbosity = 1;
    o.outputPath = tmp_.file("out.tif");
    std::string printed;
    FuseResult result = run(o, {quarter_[1], stranger, quarter_[2], quarter_[4]}, &printed);
    EXPECT_EQ(result.exitCode, 0) << result.error;
    EXPECT_NE(printed.find("Warning: cannot align " + stranger + " ("), std::string::npos) << printed;
    EXPECT_NE(printed.find("); left out of the fusion\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("  Aligned " + quarter_[1] + ": shift "), std::string::npos) << printed;
    EXPECT_NE(printed.find("  Aligned " + quarter_[4] + ": shift "), std::string::npos);
    EXPECT_NE(printed.find("  Reference " + quarter_[2] + "\n"), std::string::npos);
    // Messages name the inputs, not the aligned copies; the stranger is not analysed.
    EXPECT_NE(printed.find("Analyzing " + quarter_[1]), std::string::npos);
    EXPECT_EQ(printed.find("Analyzing " + stranger), std::string::npos) << printed;
    EXPECT_EQ(printed.find("_aln_"), std::string::npos);
    Options withoutIt = options();
    withoutIt.align = true;
    EXPECT_EQ(readFile(o.outputPath), fusedBytes(withoutIt, {quarter_[1], quarter_[2], quarter_[4]}, "three.tif"));

    Options keep = o;
    keep.alignKeepFailed = true;
    keep.outputPath = tmp_.file("kept.tif");
    result = run(keep, {quarter_[1], stranger, quarter_[2], quarter_[4]}, &printed);
    EXPECT_EQ(result.exitCode, 0) << result.error;
    EXPECT_NE(printed.find("Warning: cannot align " + stranger + " ("), std::string::npos) << printed;
    EXPECT_NE(printed.find("); fused unaligned\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Analyzing " + stranger), std::string::npos) << printed;
    EXPECT_NE(readFile(keep.outputPath), readFile(o.outputPath));
}

// Frames already registered exactly, as a bracket (exposure steps) and as a
// focus stack (blur steps), come out of --align with the bytes of the run
// without it: transforms within a quarter pixel of identity at every corner
// resample nothing, which could only soften the frames.
TEST_F(AlignRunTest, RegisteredFramesAreNotResampled)
{
    const Shots bracket = writeShots(tmp_.path(), "registered", true);
    const cv::Mat photo = alignfx::linearPhoto(sourceDir() + "/examples/focus_pcb/pcb_004.jpg", 0.25);
    ASSERT_FALSE(photo.empty());
    const cv::Size size(photo.cols - 40, photo.rows - 40);
    std::vector<std::string> stack;
    for (const double blur : {3.0, 1.5, 0.0, 1.5}) {
        stack.push_back(tmp_.file("focus" + std::to_string(stack.size()) + ".tif"));
        ASSERT_TRUE(writeFixtureTiff(stack.back(), fixtureFrom(alignfx::shoot(photo, quovix::align::identityHomography(),
                                                                             {20, 20}, size, 0.0, blur))));
    }
    int k = 0;
    for (const std::vector<std::string>* inputs : {&bracket.paths, static_cast<const std::vector<std::string>*>(&stack)}) {
        Options aligned = options();
        aligned.align = true;
        aligned.verbosity = 1;
        aligned.outputPath = tmp_.file("aligned" + std::to_string(k) + ".tif");
        std::string printed;
        const FuseResult result = run(aligned, *inputs, &printed);
        ASSERT_TRUE(result.ok()) << result.error << printed;
        EXPECT_EQ(printed.find("Warning"), std::string::npos) << printed;
        EXPECT_NE(printed.find("not resampled"), std::string::npos) << printed;
        EXPECT_TRUE(readFile(aligned.outputPath) ==
                    fusedBytes(options(), *inputs, "plain" + std::to_string(k) + ".tif"))
            << printed;
        ++k;
    }
}

// Alignment of a single input has nothing to do: the run's bytes are those
// of a run without it.
TEST_F(AlignRunTest, SingleInputIsUnchanged)
{
    const std::string plain = fusedBytes(options(), {quarter_[3]}, "plain.tif");
    Options o = options();
    o.align = true;
    o.alignCrop = true;
    EXPECT_EQ(fusedBytes(o, {quarter_[3]}, "aligned.tif"), plain);
    EXPECT_FALSE(plain.empty());
}

// Saved transforms applied again give the same bytes; a file for another
// number of inputs, or a malformed one, ends the run with exit code 1.
TEST_F(AlignRunTest, SavedTransformsReproduceTheRun)
{
    const std::vector<std::string> inputs = {quarter_[2], quarter_[3], quarter_[4]};
    Options save = options();
    save.alignSave = tmp_.file("transforms.txt");
    const std::string estimated = fusedBytes(save, inputs, "estimated.tif");
    const std::string text = readFile(save.alignSave);
    EXPECT_EQ(text.rfind("#", 0), 0u);
    EXPECT_NE(text.find(quarter_[2] + "\t"), std::string::npos);
    EXPECT_NE(text.find(quarter_[3] + "\t1 0 0 0 1 0 0 0 1\n"), std::string::npos);  // the reference

    Options load = options();
    load.alignLoad = save.alignSave;
    EXPECT_EQ(fusedBytes(load, inputs, "loaded.tif"), estimated);
    EXPECT_NE(fusedBytes(options(), inputs, "unaligned.tif"), estimated);

    load.outputPath = tmp_.file("short.tif");
    std::string printed;
    FuseResult result = run(load, {quarter_[2], quarter_[3]}, &printed);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.error, "Fatal Error: Alignment file " + save.alignSave +
                                " holds 3 transforms for 2 input images\n");
    EXPECT_FALSE(fileExists(load.outputPath));

    writeFile(tmp_.file("bad.txt"), quarter_[2] + "\t1 0 0 0 1\n");
    load.alignLoad = tmp_.file("bad.txt");
    result = run(load, {quarter_[2]});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.error.rfind("Fatal Error: Alignment file " + load.alignLoad + ": ", 0), 0u) << result.error;

    load.alignLoad = tmp_.file("missing.txt");
    result = run(load, inputs);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.error.rfind("Fatal Error: Cannot read alignment file " + load.alignLoad, 0), 0u)
        << result.error;

    // Only regular files of a transform file's size are read: a device, a
    // FIFO (which would block for ever) or a huge file end the run at once.
    const std::string fifo = tmp_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = tmp_.file("huge.txt");
    writeFile(huge, std::string(3 << 20, '1'));
    for (const std::string& path : {std::string("/dev/zero"), fifo, huge}) {
        load.alignLoad = path;
        result = run(load, inputs, &printed);
        EXPECT_EQ(result.exitCode, 1) << path;
        EXPECT_EQ(result.error.rfind("Fatal Error: Cannot read alignment file " + path + ": ", 0), 0u)
            << result.error;
        EXPECT_LT(result.error.size(), 400u);
        EXPECT_NE(printed.find("Aligning 3 images\n"), std::string::npos) << "the progress line is ended";
    }
}

// Frames a few pixels across, or thin strips, give the estimation nothing to
// work on: each gets a warning and the run fuses them as they are.
TEST_F(AlignRunTest, FramesTooSmallToAlignAreFusedUnaligned)
{
    for (auto [w, h] : {std::pair{1, 1}, {4000, 1}, {1, 4000}, {6, 90}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        std::vector<std::string> inputs;
        for (int k = 0; k < 3; ++k) {
            FixtureImage image = makeFixture(w, h, 3, 8);
            for (size_t i = 0; i < image.data.size(); ++i)
                image.data[i] = static_cast<uint16_t>((i * 7 + static_cast<size_t>(k) * 60) % 256);
            inputs.push_back(tmp_.file("tiny" + std::to_string(k) + ".tif"));
            ASSERT_TRUE(writeFixtureTiff(inputs.back(), image, false));
        }
        Options o = options();
        o.align = true;
        o.outputPath = tmp_.file("tiny-out.tif");
        std::string printed;
        const FuseResult result = run(o, inputs, &printed);
        ASSERT_TRUE(result.ok()) << result.error << printed;
        EXPECT_NE(printed.find("Warning: cannot align " + inputs[0] + " (frames of " + std::to_string(w) + "x" +
                               std::to_string(h) + " pixels are too small or too thin to align); fused unaligned\n"),
                  std::string::npos)
            << printed;
        EXPECT_NE(printed.find("Warning: cannot align " + inputs[2]), std::string::npos);
        EXPECT_EQ(readFixtureTiff(o.outputPath).width, w);
    }
}

// A preview run aligns at the preview size; the transforms it saves are in
// full-size pixels, so they match the motions the frames were shot with, as
// closely as half the resolution allows.
TEST_F(AlignRunTest, PreviewRunSavesFullSizeTransforms)
{
    const Shots shots = writeShots(tmp_.path(), "shot", false);
    const std::vector<std::string> inputs = {shots.paths[1], shots.paths[2], shots.paths[4]};
    const std::vector<Homography> truth = {shots.truth[1], shots.truth[2], shots.truth[4]};
    Options full = options();
    full.alignSave = tmp_.file("full.txt");
    fusedBytes(full, inputs, "full.tif");
    Options preview = options();
    preview.scaled = true;
    preview.scaleFactor = 0.5f;
    preview.alignSave = tmp_.file("preview.txt");
    preview.outputPath = tmp_.file("preview.jpg");
    std::string printed;
    const FuseResult result = run(preview, inputs, &printed);
    ASSERT_TRUE(result.ok()) << result.error << printed;
    EXPECT_TRUE(fileExists(preview.outputPath));

    std::vector<quovix::align::TransformEntry> a, b;
    std::string error;
    ASSERT_TRUE(quovix::align::parseTransforms(readFile(full.alignSave), a, error)) << error;
    ASSERT_TRUE(quovix::align::parseTransforms(readFile(preview.alignSave), b, error)) << error;
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    for (int i : {0, 2}) {
        const double fullError = quovix::align::cornerDistanceRms(a[i].toReference, truth[i], shots.width,
                                                                  shots.height);
        const double previewError = quovix::align::cornerDistanceRms(b[i].toReference, truth[i], shots.width,
                                                                     shots.height);
        std::printf("  input %d: corner error %.2f px at full size, %.2f px from the preview\n", i + 1, fullError,
                    previewError);
        EXPECT_LT(fullError, 0.5);
        EXPECT_LT(previewError, 2.0);  // stored at preview scale it would be off by the motion itself
    }
}

// --alignOnly writes every input aligned (16-bit RGBA, alpha 0 outside what
// the frame shows, the canvas position in the tags) and stops before the
// fusion; it never writes over an input.
TEST_F(AlignRunTest, AlignOnlyWritesTheFramesAndStops)
{
    // Placed on the canvas at an offset, which the aligned frames keep.
    std::vector<std::string> inputs;
    for (int k : {2, 3, 4}) {
        FixtureImage image = readFixtureTiff(quarter_[k]);
        image.x = 40;
        image.y = 24;
        inputs.push_back(tmp_.file("placed" + std::to_string(k) + ".tif"));
        ASSERT_TRUE(writeFixtureTiff(inputs.back(), image));
    }
    Options o = options();
    o.alignOnly = tmp_.file("frames");
    o.outputPath = tmp_.file("never.tif");
    std::string printed;
    const FuseResult result = run(o, inputs, &printed);
    ASSERT_TRUE(result.ok()) << result.error << printed;
    EXPECT_FALSE(fileExists(o.outputPath));
    EXPECT_EQ(printed.find("Analyzing"), std::string::npos);
    EXPECT_NE(printed.find("Aligned images written to " + o.alignOnly + "\n"), std::string::npos);

    const std::vector<FixtureImage> frames = readAligned(o.alignOnly, inputs);
    const FixtureImage original = readFixtureTiff(inputs[1]);
    for (size_t i = 0; i < frames.size(); ++i) {
        const FixtureImage& f = frames[i];
        ASSERT_EQ(f.width, original.width);
        ASSERT_EQ(f.height, original.height);
        EXPECT_EQ(f.samples, 4);
        EXPECT_EQ(f.bits, 16);
        EXPECT_EQ(f.x, 40);
        EXPECT_EQ(f.y, 24);
        size_t absent = 0;
        bool blackWhereAbsent = true;
        for (size_t p = 0; p < static_cast<size_t>(f.width) * f.height; ++p)
            if (f.data[p * 4 + 3] == 0) {
                ++absent;
                blackWhereAbsent = blackWhereAbsent && f.data[p * 4] == 0 && f.data[p * 4 + 1] == 0;
            } else {
                EXPECT_EQ(f.data[p * 4 + 3], 65535);
            }
        EXPECT_TRUE(blackWhereAbsent);
        if (i == 1) {
            // The reference itself, unmoved: its samples in the full 16-bit range.
            EXPECT_EQ(absent, 0u);
            EXPECT_EQ(f.data[0], original.data[0] * 257);
            EXPECT_EQ(f.data[5 * 4 + 2], original.data[5 * 3 + 2] * 257);
        } else {
            EXPECT_GT(absent, static_cast<size_t>(f.width));  // the motion uncovers a border
        }
    }

    // A frame that would land on another input is refused before any work.
    const std::string folder = tmp_.file("clash");
    mkdir(folder.c_str(), 0700);
    ASSERT_TRUE(writeFixtureTiff(folder + "/a.tif", readFixtureTiff(quarter_[2])));
    ASSERT_TRUE(writeFixtureTiff(folder + "/a_aligned.tif", readFixtureTiff(quarter_[3])));
    const std::string before = readFile(folder + "/a_aligned.tif");
    o.alignOnly = folder;
    const FuseResult clash = run(o, {folder + "/a.tif", folder + "/a_aligned.tif"});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_EQ(clash.error, "Fatal Error: Aligned image " + folder + "/a_aligned.tif would replace the input " +
                               folder + "/a_aligned.tif\n");
    EXPECT_EQ(readFile(folder + "/a_aligned.tif"), before);

    // Files of an earlier run are replaced whole, with a word for each; the
    // folder holds nothing else afterwards.
    o.alignOnly = tmp_.file("frames");
    const FuseResult again = run(o, inputs, &printed);
    ASSERT_TRUE(again.ok()) << again.error << printed;
    for (const std::string& input : inputs) {
        const std::string target = o.alignOnly + "/" + input.substr(input.rfind('/') + 1, input.size() - 4 -
                                                                       input.rfind('/') - 1) + "_aligned.tif";
        EXPECT_NE(printed.find("Replaced existing file " + target + "\n"), std::string::npos) << printed;
    }
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(o.alignOnly)) {
        EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos) << entry.path();
        ++entries;
    }
    EXPECT_EQ(entries, inputs.size());

    // A folder that cannot be written into is refused before any work.
    if (geteuid() != 0) {
        const std::string locked = tmp_.file("locked");
        mkdir(locked.c_str(), 0500);
        o.alignOnly = locked;
        const FuseResult refused = run(o, inputs, &printed);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.error.rfind("Fatal Error: Cannot write into folder " + locked + ": ", 0), 0u)
            << refused.error;
        EXPECT_EQ(printed.find("Aligning"), std::string::npos) << printed;
    }
}

// The same bytes for any worker count, with bracketing copies (aligned with
// their input) and the crop to the common area (a smaller canvas, placed
// where it lies).
TEST_F(AlignRunTest, CroppedRunIsIdenticalForAnyWorkerCount)
{
    const std::vector<std::string> inputs = {quarter_[2], quarter_[3], quarter_[4]};
    std::string first;
    for (int workers : {1, 2, 3}) {
        Options o = options(workers);
        o.alignCrop = true;
        o.plusStops = 1.0f;
        const std::string bytes = fusedBytes(o, inputs, "out" + std::to_string(workers) + ".tif");
        ASSERT_FALSE(bytes.empty());
        if (first.empty())
            first = bytes;
        else
            EXPECT_TRUE(bytes == first) << workers << " workers";
    }
    const FixtureImage cropped = readFixtureTiff(tmp_.file("out1.tif"));
    const FixtureImage input = readFixtureTiff(quarter_[3]);
    EXPECT_LT(cropped.width, input.width);
    EXPECT_LT(cropped.height, input.height);
    EXPECT_GT(cropped.width, input.width * 3 / 4);
    EXPECT_GT(cropped.height, input.height * 3 / 4);
    EXPECT_TRUE(cropped.x > 0 || cropped.y > 0);
    for (size_t p = 0; p < static_cast<size_t>(cropped.width) * cropped.height; ++p)
        ASSERT_NE(cropped.data[p * 4 + 3], 0) << "pixel " << p << " of the common area is absent";
}

} // namespace
