// Ghost removal in whole runs, on brackets generated from the bundled
// photographs: a textured object pasted at a different place in each frame,
// measured against the fusion of the same bracket with the object held at the
// reference frame's place; and static sets that must stay untouched.
#include "fusion/align_photos.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

namespace {

using namespace alignrun;

// Scene and object in linear light, RGB float.
cv::Mat linearPhoto(const std::string& jpeg, double scale)
{
    cv::Mat rgb = alignfx::readJpeg(jpeg);
    if (rgb.empty())
        return {};
    cv::resize(rgb, rgb, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat linear(rgb.size(), CV_32FC3);
    for (int y = 0; y < rgb.rows; ++y)
        for (int x = 0; x < rgb.cols * 3; ++x)
            linear.ptr<float>(y)[x] = static_cast<float>(alignfx::srgbToLinear(rgb.ptr<uint8_t>(y)[x] / 255.0));
    return linear;
}

// One exposure of a linear scene as an 8-bit sRGB frame with its own noise
// of about two levels (sum of four uniform draws from a fixed generator: the
// same on every host).
FixtureImage exposeFrame(const cv::Mat& linear, double ev, uint32_t seed)
{
    FixtureImage frame = makeFixture(linear.cols, linear.rows, 3, 8);
    uint32_t state = seed * 2654435761u + 1u;
    auto uniform = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    };
    const double gain = std::pow(2.0, ev);
    for (int y = 0; y < linear.rows; ++y) {
        for (int x = 0; x < linear.cols * 3; ++x) {
            const double v = std::min(1.0, linear.ptr<float>(y)[x] * gain);
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            const double noise = 3.5 * (uniform() + uniform() + uniform() + uniform());
            frame.data[static_cast<size_t>(y) * linear.cols * 3 + x] =
                static_cast<uint16_t>(std::clamp(std::lround(255.0 * s + noise), 0L, 255L));
        }
    }
    return frame;
}

cv::Mat withObject(const cv::Mat& scene, const cv::Mat& object, cv::Point at)
{
    cv::Mat out = scene.clone();
    object.copyTo(out(cv::Rect(at, object.size())));
    return out;
}

// Fine detail of a result: grey minus its Gaussian blur.
cv::Mat fineDetail(const FixtureImage& image)
{
    cv::Mat grey(image.height, image.width, CV_32F);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            grey.at<float>(y, x) = static_cast<float>(image.at(y, x, 0) + image.at(y, x, 1) + image.at(y, x, 2)) / 3.0f;
    cv::Mat blurred;
    cv::GaussianBlur(grey, blurred, cv::Size(0, 0), 2.0);
    return grey - blurred;
}

double meanAbsDifference(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask)
{
    cv::Mat d;
    cv::absdiff(a, b, d);
    return cv::mean(d, mask)[0];
}

// Peak signal to noise ratio of two 8-bit results over a mask (dB).
double psnr(const FixtureImage& a, const FixtureImage& b, const cv::Mat& mask)
{
    double sum = 0.0;
    int64_t count = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            if (mask.at<uint8_t>(y, x) == 0)
                continue;
            for (int c = 0; c < 3; ++c) {
                const double d = static_cast<double>(a.at(y, x, c)) - b.at(y, x, c);
                sum += d * d;
            }
            count += 3;
        }
    }
    const double mse = sum / static_cast<double>(std::max<int64_t>(count, 1));
    return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The excluded shares `-v` printed, in input order (the reference has none).
std::vector<double> excludedShares(const std::string& printed)
{
    std::vector<double> shares;
    const std::regex line(R"(Deghosting: .*: ([0-9.]+)% excluded as moving)");
    for (std::sregex_iterator it(printed.begin(), printed.end(), line), end; it != end; ++it)
        shares.push_back(std::stod((*it)[1]));
    return shares;
}

constexpr int kObject = 64;
// Static areas start this far (in pixels, twice over) from any place the
// object was: the plain fusion spreads a ghost's coarse levels that far, and
// removing that halo is no change of a static area.
constexpr int kReach = 97;

// The generated bracket: -1.5, 0, +1.5 EV of the rocket photograph with a
// circuit-board patch at a different place in each frame, and the same
// bracket (other noise) with the patch where the reference frame has it.
class DeghostRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir();
        const cv::Mat scene = linearPhoto(sourceDir() + "/tests/data/rocket/rocket.jpg", 0.75);
        const cv::Mat board = linearPhoto(sourceDir() + "/examples/focus_pcb/pcb_004.jpg", 0.125);
        ASSERT_FALSE(scene.empty());
        ASSERT_FALSE(board.empty());
        const cv::Mat object = board(cv::Rect(board.cols / 2 - kObject / 2, board.rows / 2 - kObject / 2, kObject,
                                             kObject)).clone();
        const cv::Point places[3] = {{220, 190}, {60, 60}, {360, 90}};  // -1.5, 0 (reference), +1.5
        const double evs[3] = {-1.5, 0.0, 1.5};
        moved_ = cv::Mat::zeros(scene.size(), CV_8U);
        cv::Mat anyObject = cv::Mat::zeros(scene.size(), CV_8U);
        for (int k = 0; k < 3; ++k) {
            const std::string name = std::to_string(k);
            frames_.push_back(dir_->file("frame" + name + ".tif"));
            held_.push_back(dir_->file("held" + name + ".tif"));
            ASSERT_TRUE(writeFixtureTiff(frames_.back(), exposeFrame(withObject(scene, object, places[k]), evs[k], k)));
            ASSERT_TRUE(writeFixtureTiff(held_.back(), exposeFrame(withObject(scene, object, places[1]), evs[k], k + 7)));
            const cv::Rect area(places[k], cv::Size(kObject, kObject));
            if (k != 1)
                moved_(area).setTo(255);
            anyObject(area).setTo(255);
        }
        cv::dilate(anyObject, anyObject, cv::Mat::ones(kReach, kReach, CV_8U));
        static_ = 255 - anyObject;
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
        frames_.clear();
        held_.clear();
    }

    Options options(bool deghost, int workers = 1)
    {
        Options o = testOptions(tmp_.path());
        o.workerCount = workers;
        o.deghost = deghost;
        return o;
    }

    FixtureImage fused(const Options& o, const std::vector<std::string>& inputs, const std::string& name,
                       std::string* printed = nullptr)
    {
        FuseResult result;
        const std::string out = tmp_.file(name);
        const std::string text = captureOutput([&] { result = fuse(o, inputs, out); });
        if (printed != nullptr)
            *printed = text;
        EXPECT_TRUE(result.ok()) << result.error;
        return readFixtureTiff(out);
    }

    // Fine-detail difference from the held-object fusion inside the moved
    // areas, relative to that in the static areas.
    double ghostRatio(const FixtureImage& result, const FixtureImage& truth)
    {
        const cv::Mat a = fineDetail(result);
        const cv::Mat b = fineDetail(truth);
        return meanAbsDifference(a, b, moved_) / meanAbsDifference(a, b, static_);
    }

    TempDir tmp_;
    static TempDir* dir_;
    static std::vector<std::string> frames_, held_;
    static cv::Mat moved_, static_;
};

TempDir* DeghostRunTest::dir_ = nullptr;
std::vector<std::string> DeghostRunTest::frames_, DeghostRunTest::held_;
cv::Mat DeghostRunTest::moved_, DeghostRunTest::static_;

TEST_F(DeghostRunTest, MovingObjectLeavesNoGhostAndStaticAreasStay)
{
    const FixtureImage truth = fused(options(false), held_, "truth.tif");
    const FixtureImage plain = fused(options(false), frames_, "plain.tif");
    std::string printed;
    Options o = options(true);
    o.verbosity = 1;
    const FixtureImage clean = fused(o, frames_, "clean.tif", &printed);
    ASSERT_EQ(clean.width, plain.width);

    const double plainRatio = ghostRatio(plain, truth);
    const double cleanRatio = ghostRatio(clean, truth);
    RecordProperty("plainRatio", std::to_string(plainRatio));
    RecordProperty("cleanRatio", std::to_string(cleanRatio));
    // The bracket shows ghosts without the option, so the check can fail.
    EXPECT_GT(plainRatio, 3.0);
    EXPECT_LE(cleanRatio, 1.5);
    EXPECT_GE(psnr(clean, plain, static_), 40.0);

    // Each moving frame reports a share of about its object's area and margin.
    const std::vector<double> shares = excludedShares(printed);
    ASSERT_EQ(shares.size(), 2u) << printed;
    for (double share : shares) {
        EXPECT_GT(share, 100.0 * kObject * kObject / (clean.width * clean.height));
        EXPECT_LT(share, 25.0);
    }
}

TEST_F(DeghostRunTest, SameBytesForAnyWorkerCount)
{
    fused(options(true, 1), frames_, "w1.tif");
    const std::string first = readFile(tmp_.file("w1.tif"));
    ASSERT_FALSE(first.empty());
    for (int workers : {2, 3}) {
        const std::string name = "w" + std::to_string(workers) + ".tif";
        fused(options(true, workers), frames_, name);
        EXPECT_EQ(readFile(tmp_.file(name)), first) << workers << " workers";
    }
}

TEST_F(DeghostRunTest, FrameOfAnotherSceneIsIgnored)
{
    // The over-exposed frame replaced by a photograph of something else.
    const cv::Mat other = linearPhoto(sourceDir() + "/examples/crusader/1.jpeg", 1.0);
    ASSERT_FALSE(other.empty());
    const FixtureImage reference = readFixtureTiff(frames_[1]);
    cv::Mat crop;
    cv::resize(other, crop, cv::Size(reference.width, reference.height), 0, 0, cv::INTER_AREA);
    const std::string stranger = tmp_.file("stranger.tif");
    ASSERT_TRUE(writeFixtureTiff(stranger, exposeFrame(crop, 1.0, 11)));

    std::string printed;
    Options o = options(true);
    o.verbosity = 1;
    const FixtureImage result = fused(o, {held_[0], held_[1], stranger}, "stranger_out.tif", &printed);
    const FixtureImage without = fused(options(false), {held_[0], held_[1]}, "two.tif");
    const std::vector<double> shares = excludedShares(printed);
    ASSERT_EQ(shares.size(), 2u) << printed;
    EXPECT_LT(shares[0], 1.0);
    EXPECT_GT(shares[1], 99.0);
    const cv::Mat everywhere(result.height, result.width, CV_8U, cv::Scalar(255));
    EXPECT_GE(psnr(result, without, everywhere), 40.0);
}

// Static sets: nothing moved, so next to nothing may be marked.
class DeghostStaticTest : public ::testing::Test {
protected:
    // The shares `-v` reports for a --deghost run of the files.
    std::vector<double> sharesOf(const std::vector<std::string>& inputs, bool align)
    {
        Options o = testOptions(tmp_.path());
        o.deghost = true;
        o.align = align;
        o.verbosity = 1;
        FuseResult result;
        const std::string printed = captureOutput([&] { result = fuse(o, inputs, tmp_.file("out.tif")); });
        EXPECT_TRUE(result.ok()) << result.error;
        const std::vector<double> shares = excludedShares(printed);
        EXPECT_EQ(shares.size(), inputs.size() - 1) << printed;
        return shares;
    }

    std::string reducedJpeg(const std::string& jpeg, double scale, const std::string& name)
    {
        const std::string path = tmp_.file(name);
        EXPECT_TRUE(writeFixtureTiff(path, reducedPhoto(jpeg, scale)));
        return path;
    }

    TempDir tmp_;
};

TEST_F(DeghostStaticTest, SixteenBitBracketIsNotMarked)
{
    std::vector<std::string> inputs;
    for (const char* ev : {"-2", "+0", "+2"}) {
        const FixtureImage full = readFixtureTiff(sourceDir() + "/examples/raw_bracket/tower_ev" + ev + ".tif");
        ASSERT_EQ(full.bits, 16);
        ASSERT_EQ(full.samples, 3);
        cv::Mat image(full.height, full.width, CV_16UC3, const_cast<uint16_t*>(full.data.data()));
        cv::Mat small;
        cv::resize(image, small, cv::Size(), 0.25, 0.25, cv::INTER_AREA);
        FixtureImage reduced = makeFixture(small.cols, small.rows, 3, 16);
        for (int y = 0; y < small.rows; ++y)
            std::copy_n(small.ptr<uint16_t>(y), small.cols * 3, reduced.data.begin() + static_cast<std::ptrdiff_t>(y) * small.cols * 3);
        inputs.push_back(tmp_.file(std::string("tower") + ev + ".tif"));
        ASSERT_TRUE(writeFixtureTiff(inputs.back(), reduced));
    }
    for (double share : sharesOf(inputs, false))
        EXPECT_LE(share, 1.0);
}

TEST_F(DeghostStaticTest, FocusStackIsNotMarked)
{
    std::vector<std::string> inputs;
    for (int k = 1; k <= 7; ++k)
        inputs.push_back(reducedJpeg(sourceDir() + "/examples/focus_pcb/pcb_00" + std::to_string(k) + ".jpg", 0.125,
                                     "pcb" + std::to_string(k) + ".tif"));
    for (double share : sharesOf(inputs, false))
        EXPECT_LE(share, 1.0);
}

// The frames farthest from the reference in focus (blur, magnification) at
// a size where a cell spans only a few pixels: the hardest static case.
TEST_F(DeghostStaticTest, FocusStackEndsAreNotMarkedAtHalfSize)
{
    std::vector<std::string> inputs;
    for (int k : {1, 4, 7})
        inputs.push_back(reducedJpeg(sourceDir() + "/examples/focus_pcb/pcb_00" + std::to_string(k) + ".jpg", 0.5,
                                     "pcbhalf" + std::to_string(k) + ".tif"));
    for (double share : sharesOf(inputs, false))
        EXPECT_LE(share, 1.0);
}

// The frame farthest from the reference in focus at full size: defocus and
// focus breathing together move the heat sink's fins by more than the
// comparison's reach, along thin lines.
TEST_F(DeghostStaticTest, FocusStackEndIsNotMarkedAtFullSize)
{
    const std::string dir = sourceDir() + "/examples/focus_pcb/";
    const std::vector<double> shares = sharesOf({dir + "pcb_001.jpg", dir + "pcb_004.jpg"}, false);
    ASSERT_EQ(shares.size(), 1u);
    EXPECT_LE(shares[0], 1.0);
}

TEST_F(DeghostStaticTest, AlignedHandHeldBracketIsNotMarked)
{
    std::vector<std::string> inputs;
    for (int k : {2, 4, 6})
        inputs.push_back(reducedJpeg(sourceDir() + "/examples/crusader/" + std::to_string(k) + ".jpeg", 0.25,
                                     "crusader" + std::to_string(k) + ".tif"));
    for (double share : sharesOf(inputs, true))
        EXPECT_LE(share, 1.0);
}

} // namespace
