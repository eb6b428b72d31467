// The selection mode of focus stacks on synthetic stacks with a known sharp
// original: a bundled photograph, a depth map of bands, and every frame
// focused on one band (the others blurred by their distance from it).
#include "fusion/align_photos.h"

#include "fusion/depth_map.h"
#include "imageio/file_format.h"
#include "imageio/png_io.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 6;

struct SyntheticStack {
    cv::Mat sharp;  // CV_8UC3
    cv::Mat depth;  // CV_8U, the band each pixel lies in (0..kFrames-1)
    std::vector<cv::Mat> frames;
    std::vector<std::string> paths;
};

// Diagonal bands of depth with a disc of the reversed depth in the middle,
// so that depth steps cross texture in several directions.
cv::Mat depthBands(int width, int height)
{
    cv::Mat depth(height, width, CV_8U);
    const double cx = width * 0.5, cy = height * 0.5, radius = std::min(width, height) * 0.22;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int d = std::min(kFrames - 1, static_cast<int>(kFrames * (0.7 * x / width + 0.3 * y / height)));
            if (std::hypot(x - cx, y - cy) < radius)
                d = kFrames - 1 - d;
            depth.at<uint8_t>(y, x) = static_cast<uint8_t>(d);
        }
    }
    return depth;
}

FixtureImage fixtureOf(const cv::Mat& rgb, int bits)
{
    FixtureImage image = makeFixture(rgb.cols, rgb.rows, 3, bits);
    for (int r = 0; r < rgb.rows; ++r)
        for (int k = 0; k < rgb.cols * 3; ++k)
            image.data[static_cast<size_t>(r) * rgb.cols * 3 + k] =
                static_cast<uint16_t>(rgb.ptr<uint8_t>(r)[k] * (bits == 16 ? 257 : 1));
    return image;
}

// Frame k is sharp on band k and blurred by `step` pixels (sigma) per band
// of distance elsewhere.
SyntheticStack makeStack(const std::string& photo, double scale, double step, const std::string& folder, int bits = 8)
{
    SyntheticStack s;
    s.sharp = alignfx::readJpeg(photo);
    if (s.sharp.empty())
        return s;
    cv::resize(s.sharp, s.sharp, cv::Size(), scale, scale, cv::INTER_AREA);
    s.depth = depthBands(s.sharp.cols, s.sharp.rows);
    cv::Mat linear;
    s.sharp.convertTo(linear, CV_32FC3);
    std::vector<cv::Mat> blurred(kFrames);
    for (int distance = 0; distance < kFrames; ++distance) {
        if (distance == 0)
            blurred[0] = linear;
        else
            cv::GaussianBlur(linear, blurred[distance], cv::Size(), step * distance, step * distance, cv::BORDER_REFLECT);
    }
    for (int k = 0; k < kFrames; ++k) {
        cv::Mat frame(s.sharp.size(), CV_8UC3);
        for (int y = 0; y < frame.rows; ++y)
            for (int x = 0; x < frame.cols; ++x) {
                const int distance = std::abs(s.depth.at<uint8_t>(y, x) - k);
                const cv::Vec3f v = blurred[distance].at<cv::Vec3f>(y, x);
                for (int c = 0; c < 3; ++c)
                    frame.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uint8_t>(std::lround(v[c]));
            }
        s.frames.push_back(frame);
        s.paths.push_back(folder + "/frame" + std::to_string(k) + ".tif");
        writeFixtureTiff(s.paths.back(), fixtureOf(frame, bits));
    }
    return s;
}

// 8-bit RGB of a result (8- or 16-bit, with or without alpha).
cv::Mat resultRgb(const std::string& path)
{
    const FixtureImage out = readFixtureTiff(path);
    cv::Mat rgb(out.height, out.width, CV_8UC3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb.at<cv::Vec3b>(y, x)[c] =
                    static_cast<uint8_t>(out.bits == 16 ? (out.at(y, x, c) + 128) / 257 : out.at(y, x, c));
    return rgb;
}

struct Figures {
    double psnr = 0;
    int64_t outsideRange = 0;  // samples more than 2 levels outside the frames' range there
    double worstBandTone = 0;  // largest |mean luma difference| over the brightness bands
};

double luma(const cv::Vec3b& p)
{
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

Figures measure(const SyntheticStack& s, const cv::Mat& out)
{
    Figures f;
    double squared = 0;
    double sums[4][2] = {};
    int64_t counts[4] = {};
    for (int y = 0; y < out.rows; ++y)
        for (int x = 0; x < out.cols; ++x) {
            const cv::Vec3b o = out.at<cv::Vec3b>(y, x);
            const cv::Vec3b t = s.sharp.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) {
                squared += (o[c] - t[c]) * (o[c] - t[c]);
                int lo = 255, hi = 0;
                for (const cv::Mat& frame : s.frames) {
                    lo = std::min<int>(lo, frame.at<cv::Vec3b>(y, x)[c]);
                    hi = std::max<int>(hi, frame.at<cv::Vec3b>(y, x)[c]);
                }
                f.outsideRange += o[c] < lo - 2 || o[c] > hi + 2;
            }
            const int band = std::min(3, static_cast<int>(luma(t)) / 64);
            sums[band][0] += luma(o);
            sums[band][1] += luma(t);
            ++counts[band];
        }
    f.psnr = 10 * std::log10(255.0 * 255.0 / (squared / (3.0 * out.total())));
    for (int b = 0; b < 4; ++b)
        if (counts[b] * 100 >= static_cast<int64_t>(out.total()))
            f.worstBandTone = std::max(f.worstBandTone, std::fabs(sums[b][0] - sums[b][1]) / counts[b]);
    return f;
}

class FocusSelectTest : public ::testing::Test {
protected:
    Options options(FocusMode mode, int workers = 1)
    {
        Options o = testOptions(tmp_.path());
        o.workerCount = workers;
        o.useYCrCb = true;  // the recommended setting for focus stacks
        o.focusMode = mode;
        return o;
    }

    // Runs and returns the output path; what was printed goes to `printed`.
    std::string fuseTo(Options o, const std::vector<std::string>& inputs, const std::string& name,
                       std::string* printed = nullptr)
    {
        o.outputPath = tmp_.file(name);
        FuseResult result;
        const std::string text = captureOutput([&] { result = fuse(o, inputs); });
        EXPECT_TRUE(result.ok()) << result.error << text;
        if (printed != nullptr)
            *printed = text;
        return o.outputPath;
    }

    TempDir tmp_;
};

// On two scenes the selection keeps the sharp original closer than the
// classic focus blend does, with the tone of the frames and no sample beyond
// what the frames hold at that place.
TEST_F(FocusSelectTest, SyntheticStacksComeCloseToTheSharpOriginal)
{
    const std::string scenes[] = {sourceDir() + "/tests/data/rocket/rocket.jpg",
                                  sourceDir() + "/examples/focus_pcb/pcb_004.jpg"};
    const double scales[] = {0.6, 0.2};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(scenes[i]);
        const std::string folder = tmp_.file("scene" + std::to_string(i));
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        const SyntheticStack s = makeStack(scenes[i], scales[i], 1.2, folder);
        ASSERT_FALSE(s.sharp.empty());
        std::string printed;
        const Figures select = measure(s, resultRgb(fuseTo(options(FocusMode::Select), s.paths,
                                                           "select" + std::to_string(i) + ".tif", &printed)));
        const Figures classic = measure(s, resultRgb(fuseTo(options(FocusMode::Classic), s.paths,
                                                            "classic" + std::to_string(i) + ".tif")));
        std::printf("  %s %dx%d: select %.2f dB, %lld outside, tone %.2f; classic %.2f dB, %lld outside, tone %.2f\n",
                    scenes[i].c_str(), s.sharp.cols, s.sharp.rows, select.psnr,
                    static_cast<long long>(select.outsideRange), select.worstBandTone, classic.psnr,
                    static_cast<long long>(classic.outsideRange), classic.worstBandTone);
        EXPECT_NE(printed.find("Selecting the sharpest of 6 frames at every pixel\n"), std::string::npos) << printed;
        EXPECT_GT(select.psnr, 40.0);
        EXPECT_GT(select.psnr, classic.psnr);
        EXPECT_EQ(select.outsideRange, 0);
        EXPECT_LE(select.worstBandTone, 2.0);
    }
}

// 16-bit frames give 16-bit results within the frames' range, the same bytes
// for one worker and two, and the picture of the 8-bit run.
TEST_F(FocusSelectTest, SixteenBitStacksAreTheSameForAnyWorkerCount)
{
    const std::string folder = tmp_.file("deep");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/tests/data/rocket/rocket.jpg", 0.4, 1.2, folder, 16);
    ASSERT_FALSE(s.sharp.empty());
    const std::string one = fuseTo(options(FocusMode::Select, 1), s.paths, "one.tif");
    const std::string two = fuseTo(options(FocusMode::Select, 2), s.paths, "two.tif");
    EXPECT_EQ(readFixtureTiff(one).bits, 16);
    EXPECT_TRUE(readFile(one) == readFile(two));
    const Figures f = measure(s, resultRgb(one));
    EXPECT_EQ(f.outsideRange, 0);
    EXPECT_GT(f.psnr, 38.0);
}

// A bracket of two focus stacks: iteration 1 selects within each exposure,
// iteration 2 blends the two sharp results by exposure, which comes close to
// the exposure blend of the two sharp originals.
TEST_F(FocusSelectTest, SelectsWithinEachExposureOfABracket)
{
    const std::string folder = tmp_.file("bracket");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/tests/data/rocket/rocket.jpg", 0.3, 1.2, folder);
    ASSERT_FALSE(s.sharp.empty());
    std::vector<std::string> inputs;
    for (int k = 0; k < kFrames; ++k) {
        inputs.push_back(s.paths[k]);
        cv::Mat dark;
        s.frames[k].convertTo(dark, CV_8UC3, 0.45);
        inputs.push_back(folder + "/dark" + std::to_string(k) + ".tif");
        writeFixtureTiff(inputs.back(), fixtureOf(dark, 8));
    }
    cv::Mat darkSharp;
    s.sharp.convertTo(darkSharp, CV_8UC3, 0.45);
    const std::string sharpPath = folder + "/sharp.tif", darkPath = folder + "/sharpdark.tif";
    writeFixtureTiff(sharpPath, fixtureOf(s.sharp, 8));
    writeFixtureTiff(darkPath, fixtureOf(darkSharp, 8));
    const cv::Mat ideal = resultRgb(fuseTo(options(FocusMode::Classic), {sharpPath, darkPath}, "ideal.tif"));

    std::string printed;
    const cv::Mat selected = resultRgb(fuseTo(options(FocusMode::Select), inputs, "select.tif", &printed));
    const cv::Mat classic = resultRgb(fuseTo(options(FocusMode::Classic), inputs, "classic.tif"));
    EXPECT_NE(printed.find("in 2 groups"), std::string::npos) << printed;
    size_t at = printed.find("Selecting the sharpest of 6 frames at every pixel\n");
    ASSERT_NE(at, std::string::npos) << printed;
    EXPECT_NE(printed.find("Selecting the sharpest of 6 frames at every pixel\n", at + 1), std::string::npos);
    const double toSelected = cv::PSNR(ideal, selected);
    const double toClassic = cv::PSNR(ideal, classic);
    std::printf("  bracket of two stacks against the blend of the sharp originals: select %.2f dB, classic %.2f dB\n",
                toSelected, toClassic);
    EXPECT_GT(toSelected, 45.0);
    EXPECT_GT(toSelected, toClassic);
}

// One pass (-p 1) selects over all frames; an invalid keyword is refused by
// the command line (see the option table test).
TEST_F(FocusSelectTest, OnePassSelectsOverAllFrames)
{
    const std::string folder = tmp_.file("onepass");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/tests/data/rocket/rocket.jpg", 0.3, 1.2, folder);
    ASSERT_FALSE(s.sharp.empty());
    Options one = options(FocusMode::Select);
    one.iterationCount = 1;
    std::string printed;
    const std::string onePass = fuseTo(one, s.paths, "onepass.tif", &printed);
    EXPECT_NE(printed.find("Selecting the sharpest of 6 frames at every pixel\n"), std::string::npos) << printed;
    const std::string twoPass = fuseTo(options(FocusMode::Select), s.paths, "twopass.tif");
    // The same selection and blend; only the way to the output differs.
    EXPECT_GT(cv::PSNR(resultRgb(onePass), resultRgb(twoPass)), 50.0);
}

} // namespace

namespace {

// A depth map read back as frame indices (-1 for a value no index maps to).
cv::Mat depthIndices(const std::string& path, int frames)
{
    cv::Mat map;
    if (hasPngExtension(path)) {
        ImageInfo info;
        if (!readPngHeader(path, info).ok() || info.bytesPerPixel != 1)
            return {};
        map.create(info.region.height, info.region.width, CV_8U);
        if (!readPng(path, info, map.data).ok())
            return {};
    } else {
        const FixtureImage image = readFixtureTiff(path);
        if (image.samples != 1 || image.bits != 8)
            return {};
        map.create(image.height, image.width, CV_8U);
        for (size_t p = 0; p < map.total(); ++p)
            map.data[p] = static_cast<uint8_t>(image.data[p]);
    }
    cv::Mat indices(map.size(), CV_32S, cv::Scalar(-1));
    for (int i = 0; i < frames; ++i)
        indices.setTo(i, map == depthSample(i, frames));
    return indices;
}

// Islands: 4-connected regions of one index smaller than `small` pixels,
// and the share of the map they cover.
std::pair<int, double> islands(const cv::Mat& indices, int frames, int small)
{
    int count = 0;
    int64_t covered = 0;
    for (int i = 0; i < frames; ++i) {
        cv::Mat labels, stats, centroids;
        const int n = cv::connectedComponentsWithStats(indices == i, labels, stats, centroids, 4);
        for (int c = 1; c < n; ++c) {
            const int area = stats.at<int>(c, cv::CC_STAT_AREA);
            if (area < small) {
                ++count;
                covered += area;
            }
        }
    }
    return {count, static_cast<double>(covered) / static_cast<double>(indices.total())};
}

} // namespace

// The depth map of a synthetic stack shows the depth it was made with: at
// textured pixels well inside a depth band, the band's frame.
TEST_F(FocusSelectTest, DepthMapFollowsTheKnownDepth)
{
    const std::string folder = tmp_.file("depth");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/examples/focus_pcb/pcb_004.jpg", 0.2, 1.2, folder);
    ASSERT_FALSE(s.sharp.empty());
    Options o = options(FocusMode::Select);
    o.depthMapPath = tmp_.file("depth.tif");
    std::string printed;
    fuseTo(o, s.paths, "stack.tif", &printed);
    EXPECT_NE(printed.find("Writing depth map " + o.depthMapPath + "\n"), std::string::npos) << printed;
    const cv::Mat indices = depthIndices(o.depthMapPath, kFrames);
    ASSERT_FALSE(indices.empty());
    EXPECT_EQ(cv::countNonZero(indices < 0), 0) << "values other than frame indices";

    cv::Mat grey, detail;
    cv::cvtColor(s.sharp, grey, cv::COLOR_RGB2GRAY);
    cv::Laplacian(grey, detail, CV_32F);
    cv::GaussianBlur(cv::abs(detail), detail, cv::Size(), 3);
    double previous = -1;
    for (int d = 0; d < kFrames; ++d) {
        cv::Mat inside;
        cv::erode(s.depth == d, inside, cv::Mat::ones(17, 17, CV_8U));
        inside &= detail > 4;
        const int total = cv::countNonZero(inside);
        if (total < 500)
            continue;
        const int right = cv::countNonZero(inside & (indices == d));
        const double mean = cv::mean(indices, inside)[0];
        std::printf("  band %d: %d textured pixels, %.1f %% mapped to it, mean index %.2f\n", d, total,
                    100.0 * right / total, mean);
        EXPECT_GT(right, 0.95 * total) << "band " << d;
        EXPECT_GT(mean, previous) << "band " << d;
        previous = mean;
    }
}

// The bundled 7-frame stack (at a fifth of its size): the selection's map holds frame
// indices only, in few islands; the classic map (the largest contrast weight
// of every pixel) holds indices only too, and many more islands.
TEST_F(FocusSelectTest, DepthMapOfTheBundledStackIsSmooth)
{
    std::vector<std::string> inputs;
    for (int k = 1; k <= 7; ++k) {
        inputs.push_back(tmp_.file("pcb" + std::to_string(k) + ".tif"));
        ASSERT_TRUE(writeFixtureTiff(
            inputs.back(), alignrun::reducedPhoto(sourceDir() + "/examples/focus_pcb/pcb_00" + std::to_string(k) + ".jpg",
                                                  0.2)));
    }
    Options select = options(FocusMode::Select);
    select.depthMapPath = tmp_.file("select.png");
    fuseTo(select, inputs, "select.tif");
    Options classic = options(FocusMode::Classic);
    classic.depthMapPath = tmp_.file("classic.png");
    fuseTo(classic, inputs, "classic.tif");

    const cv::Mat selected = depthIndices(select.depthMapPath, 7);
    const cv::Mat contrast = depthIndices(classic.depthMapPath, 7);
    ASSERT_FALSE(selected.empty());
    ASSERT_FALSE(contrast.empty());
    EXPECT_EQ(cv::countNonZero(selected < 0), 0);
    EXPECT_EQ(cv::countNonZero(contrast < 0), 0);
    const auto [selectIslands, selectShare] = islands(selected, 7, 64);
    const auto [classicIslands, classicShare] = islands(contrast, 7, 64);
    std::printf("  islands under 64 px: select %d (%.2f %% of the map), classic %d (%.2f %%)\n", selectIslands,
                100 * selectShare, classicIslands, 100 * classicShare);
    EXPECT_LT(selectShare, 0.01);
    EXPECT_LT(selectIslands * 10, classicIslands);
    // Every frame is sharpest somewhere in this stack.
    for (int i = 0; i < 7; ++i)
        EXPECT_GT(cv::countNonZero(selected == i), 0) << "frame " << i;
}

// Depth maps are refused before any work where they would blur the
// indices (JPEG), be written under a name saying another type, or destroy an
// input; an input is never touched.
TEST_F(FocusSelectTest, DepthMapNamesThatWouldHarmAreRefused)
{
    const std::string input = tmp_.file("in.tif");
    ASSERT_TRUE(writeFixtureTiff(input, makeFixture(16, 16, 3, 8)));
    const std::string before = readFile(input);
    for (const std::string& name : {tmp_.file("depth.jpg"), tmp_.file("depth.bmp"), tmp_.file("depth."), input}) {
        Options o = options(FocusMode::Select);
        o.depthMapPath = name;
        o.outputPath = tmp_.file("out.tif");
        FuseResult result;
        const std::string printed = captureOutput([&] { result = fuse(o, {input, input}); });
        EXPECT_EQ(result.exitCode, kExitFatal) << name;
        EXPECT_NE(result.error.find("Depth map " + name), std::string::npos) << result.error;
        EXPECT_EQ(printed.find("Analyzing"), std::string::npos) << printed;
        EXPECT_FALSE(fileExists(o.outputPath));
    }
    EXPECT_EQ(readFile(input), before);
    EXPECT_EQ(depthSample(3, 7), 128);     // 3 * 255 / 6 = 127.5, rounded
    EXPECT_EQ(depthSample(1, 257), 256);   // 16 bits beyond 256 frames
    EXPECT_EQ(depthSample(256, 257), 65535);
}

namespace {

// Frame k of the stack cut out of the rendered scene `margin` pixels in,
// moved by shifts[k]: the camera moved between shots, as on a hand-held or
// breathing stack. Written as moved<k>.tif into `folder`, made if missing.
std::vector<std::string> writeMovedFrames(const SyntheticStack& s, int margin, const std::vector<cv::Point>& shifts,
                                          const std::string& folder)
{
    mkdir(folder.c_str(), 0700);
    std::vector<std::string> paths;
    const cv::Size size(s.sharp.cols - 2 * margin, s.sharp.rows - 2 * margin);
    for (int k = 0; k < kFrames; ++k) {
        const cv::Rect area(cv::Point(margin, margin) + shifts[static_cast<size_t>(k)], size);
        paths.push_back(folder + "/moved" + std::to_string(k) + ".tif");
        writeFixtureTiff(paths.back(), fixtureOf(s.frames[static_cast<size_t>(k)](area).clone(), 8));
    }
    return paths;
}

} // namespace

// A stack whose frames moved between shots by known whole pixels: with
// --align the selection is made on the frames as aligned, so the result
// and the depth map stand in the reference frame's geometry. Choosing
// from the unaligned frames, or writing the map in another frame's
// geometry, puts the depth steps where the scene has none.
TEST_F(FocusSelectTest, AlignedStackSelectsInTheReferenceGeometry)
{
    const std::string folder = tmp_.file("moved");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/examples/focus_pcb/pcb_004.jpg", 0.25, 1.2, folder);
    ASSERT_FALSE(s.sharp.empty());
    const int margin = 16;
    // Frame 3 (= 6 / 2) is the alignment reference.
    const std::vector<cv::Point> shifts = {{-12, 7}, {9, -5}, {-6, -11}, {0, 0}, {11, 10}, {-8, 12}};
    const std::vector<std::string> moved = writeMovedFrames(s, margin, shifts, folder);
    const cv::Rect view(margin, margin, s.sharp.cols - 2 * margin, s.sharp.rows - 2 * margin);
    // Compared where every frame covers the reference, with room for the
    // feathered seams of the frames' borders.
    const cv::Rect inside(margin, margin, view.width - 2 * margin, view.height - 2 * margin);
    const cv::Mat sharp = s.sharp(view)(inside);

    Options aligned = options(FocusMode::Select);
    aligned.align = true;
    aligned.depthMapPath = tmp_.file("aligned_depth.png");
    aligned.verbosity = 1;
    std::string printed;
    const cv::Mat result = resultRgb(fuseTo(aligned, moved, "aligned.tif", &printed));
    ASSERT_EQ(result.size(), view.size());
    EXPECT_NE(printed.find("Selecting the sharpest of 6 frames at every pixel\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("Warning"), std::string::npos) << printed;
    const cv::Mat indices = depthIndices(aligned.depthMapPath, kFrames);
    ASSERT_EQ(indices.size(), view.size());

    // The same frames unmoved, fused without alignment: what the aligned
    // run must give, up to the estimation's sub-pixel error.
    const std::vector<std::string> still =
        writeMovedFrames(s, margin, std::vector<cv::Point>(kFrames), folder + "/still");
    Options plain = options(FocusMode::Select);
    plain.depthMapPath = tmp_.file("still_depth.png");
    const cv::Mat expected = resultRgb(fuseTo(plain, still, "still.tif"));
    const cv::Mat expectedIndices = depthIndices(plain.depthMapPath, kFrames);
    ASSERT_EQ(expectedIndices.size(), view.size());
    const double alignedPsnr = cv::PSNR(result(inside), sharp);
    const double toStill = cv::PSNR(result(inside), expected(inside));
    const double sameIndex = cv::countNonZero(indices(inside) == expectedIndices(inside)) / double(inside.area());

    // Textured pixels 4 px or more inside their depth band.
    cv::Mat grey, detail;
    cv::cvtColor(s.sharp(view), grey, cv::COLOR_RGB2GRAY);
    cv::Laplacian(grey, detail, CV_32F);
    cv::GaussianBlur(cv::abs(detail), detail, cv::Size(), 3);
    int total = 0, right = 0;
    for (int d = 0; d < kFrames; ++d) {
        cv::Mat band;
        cv::erode(s.depth(view) == d, band, cv::Mat::ones(9, 9, CV_8U));
        band &= detail > 4;
        band = band(inside);
        total += cv::countNonZero(band);
        right += cv::countNonZero(band & (indices(inside) == d));
    }
    std::printf("  moved stack: %.2f dB against the sharp original, %.2f dB against the unmoved stack's result; "
                "depth map: %.2f %% as the unmoved one, %.1f %% of %d textured pixels on their band\n",
                alignedPsnr, toStill, 100 * sameIndex, 100.0 * right / total, total);
    EXPECT_GT(alignedPsnr, 40.0);
    EXPECT_GT(toStill, 43.5) << printed;
    EXPECT_GT(sameIndex, 0.99);
    EXPECT_GT(total, 10000);
    EXPECT_GT(right, 0.99 * total);
}

// A frame that cannot be aligned (here one of another scene, given second)
// is left out of the fusion; the depth map still numbers the frames as they
// were given, so each value stands for the same input as in a run where
// every frame aligned: the band of frame k shows input k (k >= 1: k + 1) of
// seven, not index k of the six that stayed.
TEST_F(FocusSelectTest, DepthMapNumbersFramesAsGivenWhenOneIsLeftOut)
{
    const std::string folder = tmp_.file("given");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const SyntheticStack s = makeStack(sourceDir() + "/examples/focus_pcb/pcb_004.jpg", 0.25, 1.2, folder);
    ASSERT_FALSE(s.sharp.empty());
    const int margin = 16;
    std::vector<std::string> inputs = writeMovedFrames(s, margin, std::vector<cv::Point>(kFrames), folder);
    const cv::Rect view(margin, margin, s.sharp.cols - 2 * margin, s.sharp.rows - 2 * margin);
    cv::Mat other = alignfx::readJpeg(sourceDir() + "/tests/data/rocket/rocket.jpg");
    ASSERT_FALSE(other.empty());
    cv::resize(other, other, view.size(), 0, 0, cv::INTER_AREA);
    inputs.insert(inputs.begin() + 1, folder + "/other.tif");
    writeFixtureTiff(inputs[1], fixtureOf(other, 8));

    Options o = options(FocusMode::Select);
    o.align = true;
    o.depthMapPath = tmp_.file("depth.png");
    std::string printed;
    fuseTo(o, inputs, "stack.tif", &printed);
    EXPECT_NE(printed.find("Warning: cannot align " + inputs[1]), std::string::npos) << printed;
    EXPECT_NE(printed.find("Selecting the sharpest of 6 frames at every pixel\n"), std::string::npos) << printed;
    const cv::Mat indices = depthIndices(o.depthMapPath, kFrames + 1);
    ASSERT_EQ(indices.size(), view.size());
    EXPECT_EQ(cv::countNonZero(indices < 0), 0) << "values other than the numbers of seven frames";
    EXPECT_EQ(cv::countNonZero(indices == 1), 0) << "the frame left out is shown";

    cv::Mat grey, detail;
    cv::cvtColor(s.sharp(view), grey, cv::COLOR_RGB2GRAY);
    cv::Laplacian(grey, detail, CV_32F);
    cv::GaussianBlur(cv::abs(detail), detail, cv::Size(), 3);
    int total = 0, right = 0;
    for (int d = 0; d < kFrames; ++d) {
        cv::Mat band;
        cv::erode(s.depth(view) == d, band, cv::Mat::ones(9, 9, CV_8U));
        band &= detail > 4;
        total += cv::countNonZero(band);
        right += cv::countNonZero(band & (indices == (d == 0 ? 0 : d + 1)));
    }
    EXPECT_GT(total, 10000);
    EXPECT_GT(right, 0.99 * total);
}
