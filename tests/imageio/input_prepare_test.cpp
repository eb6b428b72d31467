#include "imageio/input_prepare.h"

#include "image_fixture.h"
#include "image_samples.h"
#include "imageio/image_reader.h"
#include "support/memory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <vector>

namespace {

using samples::failedWith;

class PrepareTest : public testing::Test {
protected:
    std::string input(const std::string& name, const FixtureImage& image)
    {
        std::string path = env_.dir().file(name);
        EXPECT_TRUE(writeFixtureTiff(path, image));
        return path;
    }
    std::string file(const std::string& name) const { return env_.dir().file(name); }
    // Reads an input (classified inside) onto the target; ok or the failure.
    Status prepare(const std::string& path, void* destination, const ImageRegion* target, int stops, float scale,
                   bool useCache, ImageRegion* readRegion = nullptr)
    {
        return prepareInput(run, path, ImageInfo(), destination, target, stops, scale, useCache, readRegion);
    }
    // The same, expected to succeed; returns what it printed.
    std::string prepareOk(const std::string& path, void* destination, const ImageRegion* target, int stops,
                          float scale, bool useCache, ImageRegion* readRegion = nullptr)
    {
        samples::Printed p = samples::printedBy(
            [&] { return prepare(path, destination, target, stops, scale, useCache, readRegion); });
        EXPECT_TRUE(p.status.ok()) << path << ": " << p.status.consoleText();
        return p.output;
    }
    std::string adjustOk(const std::string& src, const std::string& dst, float stops, float scale)
    {
        samples::Printed p =
            samples::printedBy([&] { return adjustExposure(run, src, ImageInfo(), dst, stops, scale); });
        EXPECT_TRUE(p.status.ok()) << src << ": " << p.status.consoleText();
        return p.output;
    }
    std::string scratchName(const std::string& source, const std::string& tag, int number)
    {
        EXPECT_TRUE(run.scratch.ensureRunFolder().ok());
        return run.scratch.scratchName(source, tag, number);
    }
    std::string cacheName(const std::string& source, float scale, float stops)
    {
        EXPECT_TRUE(run.scratch.ensureCacheFolder().ok());
        return run.scratch.cacheName(source, scale, stops);
    }
    ScratchEnvironment env_;
    FusionRun& run = env_.run();
    RunSettings& settings = env_.settings();
};

// Distinct values per pixel and sample, so a misplaced pixel shows.
FixtureImage patterned(int width, int height, int samples, int bits, int x, int y, int seed)
{
    FixtureImage image = makeFixture(width, height, samples, bits, x, y);
    const int range = bits == 8 ? 255 : 65535;
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            for (int s = 0; s < samples; ++s)
                image.at(r, c, s) = static_cast<uint16_t>(1 + (seed * 31 + r * 7 + c * 3 + s * 11) % range);
    return image;
}

uint16_t sampleOf(const std::vector<uint8_t>& buffer, int bits, size_t index)
{
    if (bits == 8)
        return buffer[index];
    uint16_t v;
    std::memcpy(&v, &buffer[index * 2], 2);
    return v;
}

// Checks a canvas buffer against images placed at their offsets; every other
// sample must be 0.
void expectCanvas(const std::vector<uint8_t>& buffer, const ImageRegion& canvas,
                  const std::vector<const FixtureImage*>& images)
{
    const int samples = images[0]->samples;
    const int bits = images[0]->bits;
    for (int r = 0; r < canvas.height; ++r) {
        for (int c = 0; c < canvas.width; ++c) {
            const FixtureImage* owner = nullptr;
            for (const FixtureImage* image : images) {
                int ir = r + canvas.y - image->y;
                int ic = c + canvas.x - image->x;
                if (ir >= 0 && ir < image->height && ic >= 0 && ic < image->width)
                    owner = image;
            }
            for (int s = 0; s < samples; ++s) {
                uint16_t expected = 0;
                if (owner != nullptr)
                    expected = owner->at(r + canvas.y - owner->y, c + canvas.x - owner->x, s);
                size_t index = (static_cast<size_t>(r) * canvas.width + c) * samples + s;
                ASSERT_EQ(sampleOf(buffer, bits, index), expected) << "row " << r << " col " << c << " sample " << s;
            }
        }
    }
}

} // namespace

TEST(ScaleRegion, RoundsHalvesDownAndNegativesAwayFromZero)
{
    ImageRegion region{101, -101, 301, 200};
    scaleRegion(region, 0.5f);
    EXPECT_EQ(region.width, 150);  // 150.5 + 0.49999999 truncates to 150
    EXPECT_EQ(region.height, 100);
    EXPECT_EQ(region.x, 50);
    EXPECT_EQ(region.y, -50);

    ImageRegion other{7, -7, 11, 6};
    scaleRegion(other, 0.3f);  // 2.1, -2.1, 3.3 (float), 1.8
    EXPECT_EQ(other.x, 2);
    EXPECT_EQ(other.y, -2);
    EXPECT_EQ(other.width, 3);
    EXPECT_EQ(other.height, 2);
}

TEST(ShrinkImage, PicksNearestSourcePixelsInPlace)
{
    // 5 x 3 RGB8, pixel value = row * 16 + col; steps 2.5 and 1.5.
    std::vector<uint8_t> buffer(5 * 3 * 3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c)
            for (int s = 0; s < 3; ++s)
                buffer[(r * 5 + c) * 3 + s] = static_cast<uint8_t>(r * 16 + c + s * 100);
    ASSERT_TRUE(shrinkImage(buffer.data(), 3, 5, 3, 2, 2).ok());
    const int sourceOf[4][2] = {{0, 0}, {0, 2}, {1, 0}, {1, 2}};
    for (int k = 0; k < 4; ++k)
        for (int s = 0; s < 3; ++s)
            EXPECT_EQ(buffer[k * 3 + s], sourceOf[k][0] * 16 + sourceOf[k][1] + s * 100) << k;
}

TEST(ShrinkImage, GrowingIsFatal)
{
    std::vector<uint8_t> buffer(64, 0x5A);
    EXPECT_TRUE(failedWith(shrinkImage(buffer.data(), 1, 2, 2, 3, 2), 1, "Fatal Error: resizeImage Error!\n"));
    EXPECT_TRUE(failedWith(shrinkImage(buffer.data(), 1, 2, 2, 2, 3), 1, "Fatal Error: resizeImage Error!\n"));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), 64) << "the buffer is left alone";
}

TEST(ExposureTable, OneStopUpAndDownInEightAndSixteenBits)
{
    std::vector<uint16_t> table(65536);
    buildExposureTable(table.data(), 255, 1.0f, 2.2f);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[64], 87);
    EXPECT_EQ(table[128], 175);
    EXPECT_EQ(table[186], 254);
    for (int v = 187; v <= 255; ++v)
        EXPECT_EQ(table[v], 255) << v;

    buildExposureTable(table.data(), 255, -1.0f, 2.2f);
    EXPECT_EQ(table[255], 186);
    buildExposureTable(table.data(), 255, -1.5f, 2.2f);
    EXPECT_EQ(table[100], 62);

    buildExposureTable(table.data(), 65535, 1.0f, 2.2f);
    EXPECT_EQ(table[32768], 44903);
    EXPECT_EQ(table[65535], 65535);
    buildExposureTable(table.data(), 65535, -1.0f, 2.2f);
    EXPECT_EQ(table[1000], 729);
    buildExposureTable(table.data(), 65535, -2.0f, 1.0f);
    EXPECT_EQ(table[65535], 16383);
}

TEST_F(PrepareTest, TwoOffsetImagesLandOnTheCanvasExample)
{
    FixtureImage a = patterned(200, 100, 3, 8, 0, 0, 1);
    FixtureImage b = patterned(200, 100, 3, 8, 100, 50, 2);
    std::string pathA = input("a.tif", a);
    std::string pathB = input("b.tif", b);
    const ImageRegion canvas{0, 0, 300, 150};

    std::vector<uint8_t> bufferB(300 * 150 * 3, 0);
    EXPECT_EQ(prepareOk(pathB, bufferB.data(), &canvas, 0, 1.0f, false), "");
    expectCanvas(bufferB, canvas, {&b});
    EXPECT_EQ(bufferB[(50 * 300 + 100) * 3], b.at(0, 0, 0));

    std::vector<uint8_t> bufferA(300 * 150 * 3, 0);
    prepareOk(pathA, bufferA.data(), &canvas, 0, 1.0f, false);
    expectCanvas(bufferA, canvas, {&a});

    // Without a target the image stays packed.
    std::vector<uint8_t> packed(200 * 100 * 3, 0);
    ImageRegion region;
    prepareOk(pathB, packed.data(), nullptr, 0, 1.0f, false, &region);
    EXPECT_EQ(region.width, 200);
    EXPECT_EQ(region.height, 100);
    EXPECT_EQ(region.x, 100);
    EXPECT_EQ(region.y, 50);
    EXPECT_EQ(packed, fixtureBytes(b));
}

TEST_F(PrepareTest, OffsetCanvasAndEveryLayoutPlaceExactly)
{
    const ImageRegion canvas{5, 3, 23, 17};
    const int layouts[][2] = {{1, 8}, {1, 16}, {3, 8}, {4, 8}, {3, 16}, {4, 16}};
    int seed = 0;
    for (const auto& layout : layouts) {
        FixtureImage image = patterned(13, 9, layout[0], layout[1], 9, 8, ++seed);
        std::string path = input("layout" + std::to_string(seed) + ".tif", image);
        std::vector<uint8_t> buffer(static_cast<size_t>(canvas.width) * canvas.height * image.bytesPerPixel(), 0);
        prepareOk(path, buffer.data(), &canvas, 0, 1.0f, false);
        expectCanvas(buffer, canvas, {&image});
    }

    // A classification made earlier is used as given.
    FixtureImage known = patterned(13, 9, 3, 16, 9, 8, ++seed);
    std::string knownPath = input("known.tif", known);
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, knownPath, info).ok());
    std::vector<uint8_t> knownBuffer(static_cast<size_t>(canvas.width) * canvas.height * 6, 0);
    ASSERT_TRUE(prepareInput(run, knownPath, info, knownBuffer.data(), &canvas, 0, 1.0f, false).ok());
    expectCanvas(knownBuffer, canvas, {&known});

    // An image that equals the canvas is read as it is.
    FixtureImage whole = patterned(23, 17, 3, 8, 5, 3, 9);
    std::string path = input("whole.tif", whole);
    std::vector<uint8_t> buffer(23 * 17 * 3, 0);
    prepareOk(path, buffer.data(), &canvas, 0, 1.0f, false);
    EXPECT_EQ(buffer, fixtureBytes(whole));
}

TEST_F(PrepareTest, ScaledRunWritesThenReusesThePreviewCache)
{
    FixtureImage image = patterned(40, 30, 3, 8, 10, 6, 3);
    std::string path = input("shot.tif", image);
    ImageRegion canvas{0, 0, 50, 36};
    scaleRegion(canvas, 0.5f);  // 25 x 18

    std::vector<uint8_t> first(25 * 18 * 3, 0);
    std::string out = prepareOk(path, first.data(), &canvas, 0, 0.5f, true);
    EXPECT_EQ(out, ">");
    FixtureImage shrunk = makeFixture(20, 15, 3, 8, 5, 3);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 20; ++c)
            for (int s = 0; s < 3; ++s)
                shrunk.at(r, c, s) = image.at(r * 2, c * 2, s);
    expectCanvas(first, canvas, {&shrunk});

    const std::string cache = cacheName(path, 0.5f, 0.0f);
    FixtureImage cached = readFixtureTiff(cache);
    ASSERT_EQ(cached.width, 20);
    EXPECT_EQ(cached.height, 15);
    EXPECT_EQ(cached.x, 5);
    EXPECT_EQ(cached.y, 3);
    EXPECT_EQ(cached.data, shrunk.data);

    // A later scaled run over the same file takes the cached copy.
    std::vector<uint8_t> second(25 * 18 * 3, 0);
    out = prepareOk(path, second.data(), &canvas, 0, 0.5f, true);
    EXPECT_EQ(out, "<");
    EXPECT_EQ(second, first);

    // The source changes: its old cache is not served but made again.
    FixtureImage changed = patterned(40, 30, 3, 8, 10, 6, 4);
    input("shot.tif", changed);
    std::vector<uint8_t> third(25 * 18 * 3, 0);
    out = prepareOk(path, third.data(), &canvas, 0, 0.5f, true);
    EXPECT_EQ(out, ">");
    FixtureImage shrunkChanged = makeFixture(20, 15, 3, 8, 5, 3);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 20; ++c)
            for (int s = 0; s < 3; ++s)
                shrunkChanged.at(r, c, s) = changed.at(r * 2, c * 2, s);
    expectCanvas(third, canvas, {&shrunkChanged});
    EXPECT_EQ(readFixtureTiff(cache).data, shrunkChanged.data) << "rebuilt in place: it was this file's cache";

    // A full-scale read neither reads nor writes the cache.
    std::remove(cache.c_str());
    std::vector<uint8_t> full(40 * 30 * 3, 0);
    ImageRegion fullCanvas{10, 6, 40, 30};
    EXPECT_EQ(prepareOk(path, full.data(), &fullCanvas, 0, 1.0f, true), "");
    EXPECT_FALSE(fileExists(cache));
}

TEST_F(PrepareTest, CacheOfUnknownOriginIsLeftAloneAndANewOneMade)
{
    FixtureImage image = patterned(20, 10, 3, 8, 0, 0, 5);
    std::string path = input("small.tif", image);
    // A file at the cache name that does not say which file it was made from
    // (another program's, or an older version's): neither read nor replaced.
    const std::string foreign = cacheName(path, 0.5f, 0.0f);
    writeFixtureTiff(foreign, patterned(30, 30, 3, 8, 0, 0, 6));
    const ImageRegion canvas{0, 0, 10, 5};
    std::vector<uint8_t> buffer(10 * 5 * 3, 0);
    std::string out = prepareOk(path, buffer.data(), &canvas, 0, 0.5f, true);
    EXPECT_EQ(out, ">");
    FixtureImage shrunk = makeFixture(10, 5, 3, 8, 0, 0);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 10; ++c)
            for (int s = 0; s < 3; ++s)
                shrunk.at(r, c, s) = image.at(r * 2, c * 2, s);
    expectCanvas(buffer, canvas, {&shrunk});
    EXPECT_EQ(readFixtureTiff(foreign).width, 30);
    const std::string made = foreign.substr(0, foreign.size() - 4) + "-1.tif";
    EXPECT_EQ(readFixtureTiff(made).width, 10);
    // The next run finds its own cache under that name.
    std::vector<uint8_t> again(10 * 5 * 3, 0);
    EXPECT_EQ(prepareOk(path, again.data(), &canvas, 0, 0.5f, true), "<");
    EXPECT_EQ(again, buffer);
}

TEST_F(PrepareTest, ScaledOffsetsRoundedPastTheCanvasAreClipped)
{
    // Canvas 11 x 11 and an image 9 x 9 at (2, 2): at 0.3 the canvas is 3 x 3
    // and the image 3 x 3 at (1, 1), one row and column past the canvas.
    FixtureImage image = patterned(9, 9, 4, 8, 2, 2, 7);
    std::string path = input("edge.tif", image);
    ImageRegion canvas{0, 0, 11, 11};
    scaleRegion(canvas, 0.3f);
    ASSERT_EQ(canvas.width, 3);
    std::vector<uint8_t> buffer(3 * 3 * 4, 0);
    prepareOk(path, buffer.data(), &canvas, 0, 0.3f, false);
    FixtureImage shrunk = makeFixture(3, 3, 4, 8, 1, 1);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int s = 0; s < 4; ++s)
                shrunk.at(r, c, s) = image.at(r * 3, c * 3, s);
    expectCanvas(buffer, canvas, {&shrunk});
}

TEST_F(PrepareTest, ImageLargerThanTheCanvasIsRefused)
{
    std::string path = input("big.tif", patterned(30, 20, 3, 8, 0, 0, 8));
    const ImageRegion canvas{0, 0, 20, 20};
    std::vector<uint8_t> buffer(20 * 20 * 3, 0);
    samples::Printed p = samples::printedBy([&] { return prepare(path, buffer.data(), &canvas, 0, 1.0f, false); });
    EXPECT_TRUE(failedWith(p.status, 1, "Fatal Error: Image does not fit on the canvas\n"));
    EXPECT_EQ(p.output, "Image " + path + " (30x20+0+0) does not fit on the canvas (20x20+0+0)\n");
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 20 * 20 * 3) << "nothing is read past the check";

    // So is a small image that starts left of the canvas.
    std::string left = input("left.tif", patterned(10, 10, 3, 8, 0, 0, 9));
    const ImageRegion shifted{5, 0, 20, 20};
    p = samples::printedBy([&] { return prepare(left, buffer.data(), &shifted, 0, 1.0f, false); });
    EXPECT_TRUE(failedWith(p.status, 1, "Fatal Error: Image does not fit on the canvas\n"));
    EXPECT_EQ(p.output, "Image " + left + " (10x10+0+0) does not fit on the canvas (20x20+5+0)\n");
}

TEST_F(PrepareTest, ExposureCopyShiftsColoursKeepsAlphaAndOffset)
{
    FixtureImage image = makeFixture(4, 2, 4, 8, 7, 3);
    const uint16_t values[8][4] = {{128, 186, 187, 128}, {0, 1, 64, 0}, {255, 200, 100, 255}, {10, 20, 30, 40},
                                   {128, 128, 128, 128}, {186, 186, 186, 186}, {50, 60, 70, 80}, {1, 2, 3, 4}};
    for (int p = 0; p < 8; ++p)
        for (int s = 0; s < 4; ++s)
            image.data[p * 4 + s] = values[p][s];
    std::string src = input("bright.tif", image);
    std::string dst = scratchName(src, "exp", 10);

    std::vector<uint16_t> table(65536);
    buildExposureTable(table.data(), 255, 1.0f, 2.2f);
    std::string out = adjustOk(src, dst, 1.0f, 1.0f);
    EXPECT_EQ(out, "AdjustExposure: " + src + "\nAdjustExposure: Writing file: " + dst + "\n");
    FixtureImage copy = readFixtureTiff(dst);
    ASSERT_EQ(copy.width, 4);
    EXPECT_EQ(copy.height, 2);
    EXPECT_EQ(copy.samples, 4);
    EXPECT_EQ(copy.bits, 8);
    EXPECT_EQ(copy.x, 7);
    EXPECT_EQ(copy.y, 3);
    for (int p = 0; p < 8; ++p) {
        for (int s = 0; s < 3; ++s)
            EXPECT_EQ(copy.data[p * 4 + s], table[values[p][s]]) << p << "/" << s;
        EXPECT_EQ(copy.data[p * 4 + 3], values[p][3]) << "alpha of " << p;
    }
    EXPECT_EQ(copy.data[0], 175);
    EXPECT_EQ(copy.data[1], 254);
    EXPECT_EQ(copy.data[2], 255);
}

TEST_F(PrepareTest, ExposureCopyOfSixteenBitAndGreyInputs)
{
    FixtureImage rgb = makeFixture(3, 1, 3, 16, 0, 0);
    rgb.data = {32768, 65535, 0, 1000, 1000, 1000, 65535, 65535, 65535};
    std::string src = input("deep.tif", rgb);
    std::string dst = file("deep_minus.tif");
    adjustOk(src, dst, -1.0f, 1.0f);
    FixtureImage copy = readFixtureTiff(dst);
    ASSERT_EQ(copy.bits, 16);
    EXPECT_EQ(copy.data, (std::vector<uint16_t>{23912, 47823, 0, 729, 729, 729, 47823, 47823, 47823}));

    FixtureImage grey = makeFixture(2, 2, 1, 8, 4, 4);
    grey.data = {255, 128, 0, 255};
    src = input("grey.tif", grey);
    dst = file("grey_minus.tif");
    adjustOk(src, dst, -1.0f, 1.0f);
    copy = readFixtureTiff(dst);
    EXPECT_EQ(copy.data, (std::vector<uint16_t>{186, 93, 0, 186}));
}

TEST_F(PrepareTest, ScaledExposureCopyIsShrunkOnceAndThenReused)
{
    FixtureImage image = patterned(20, 10, 3, 8, 6, 4, 9);
    std::string src = input("scene.tif", image);
    std::string dst = cacheName(src, 0.5f, 1.5f);
    adjustOk(src, dst, 1.5f, 0.5f);
    FixtureImage copy = readFixtureTiff(dst);
    ASSERT_EQ(copy.width, 10);
    EXPECT_EQ(copy.height, 5);
    EXPECT_EQ(copy.x, 3);
    EXPECT_EQ(copy.y, 2);
    std::vector<uint16_t> table(65536);
    buildExposureTable(table.data(), 255, 1.5f, 2.2f);
    EXPECT_EQ(copy.at(2, 3, 1), table[image.at(4, 6, 1)]);

    std::string out = adjustOk(src, dst, 1.5f, 0.5f);
    EXPECT_EQ(out, "AdjustExposure: " + src + "\nAdjusted exposure file (" + dst + ") already exists\n");
}

namespace {

// A stand-in RAW converter: reports `reported` as its output size and, when
// asked to convert, writes `produced` on its standard output (as under -c).
std::string fakeConverter(const TempDir& dir, const std::string& reported, const std::string& produced)
{
    std::string path = dir.file("fakeconv.sh");
    writeFile(path, "#!/bin/sh\n"
                    "case \" $* \" in *\" -i \"*) echo \"Output size: " + reported + "\"; exit 0;; esac\n"
                    "echo \"$*\" >> " + dir.file("calls.txt") + "\n"
                    "cat " + produced + "\n");
    chmod(path.c_str(), 0755);
    return path;
}

} // namespace

TEST_F(PrepareTest, RawInputIsConvertedReadAndItsScratchRemoved)
{
    FixtureImage converted = patterned(12, 8, 3, 8, 0, 0, 10);
    std::string produced = file("produced.tif");
    writeFixtureTiff(produced, converted, false);
    settings.converterPath = fakeConverter(env_.dir(), "12 x 8", produced);
    const std::string photos = file("photos");
    ASSERT_EQ(mkdir(photos.c_str(), 0755), 0);
    std::string raw = photos + "/shot.nef";
    writeFile(raw, "raw");

    const ImageRegion canvas{0, 0, 14, 9};
    std::vector<uint8_t> buffer(14 * 9 * 3, 0);
    std::string out = prepareOk(raw, buffer.data(), &canvas, 0, 1.0f, false);
    EXPECT_EQ(out, "\nConverting RAW file...\n");
    expectCanvas(buffer, canvas, {&converted});
    // The conversion went to the run's scratch folder and was removed after
    // reading; nothing was written beside the RAW file.
    EXPECT_FALSE(fileExists(scratchName(raw, "raw", 0)));
    EXPECT_TRUE(samples::folderEntries(run.scratch.runFolder()).empty());
    EXPECT_EQ(samples::folderEntries(photos), std::vector<std::string>{"shot.nef"});
    EXPECT_EQ(readFile(file("calls.txt")), "-c -T -H 2 -w -b 1.00 " + raw + "\n");

    // Auto-bracketing a RAW file shifts through the converter (-b 2^1), not the table.
    std::string dst = file("shot_plus.tif");
    adjustOk(raw, dst, 1.7f, 1.0f);
    EXPECT_NE(readFile(file("calls.txt")).find("-b 2.00"), std::string::npos);
    EXPECT_EQ(readFixtureTiff(dst).data, converted.data);
    EXPECT_EQ(samples::folderEntries(photos), std::vector<std::string>{"shot.nef"});
}

TEST_F(PrepareTest, HalfSizeRawIsClassifiedAtTheSizeItIsReadAt)
{
    // Under the converter's -h the image comes at half size; the canvas is
    // made for that image, which then fills it (at the sensor's full size it
    // would sit in one corner of an empty canvas).
    FixtureImage half = patterned(10, 6, 3, 8, 0, 0, 11);
    std::string produced = file("half.tif");
    writeFixtureTiff(produced, half, false);
    settings.converterPath = fakeConverter(env_.dir(), "20 x 12", produced);
    settings.converterArgs = "-h -w";
    settings.verbosity = 1;
    std::string raw = file("half.cr2");
    writeFile(raw, "raw");
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, raw, info).ok());
    EXPECT_EQ(info.region.width, 10);
    EXPECT_EQ(info.region.height, 6);

    const ImageRegion canvas = info.region;
    std::vector<uint8_t> buffer(10 * 6 * 3, 0);
    std::string out = prepareOk(raw, buffer.data(), &canvas, 0, 1.0f, false);
    EXPECT_NE(out.find("TIFF generated from DCRaw : Region: wxh=10x6+0+0\n"), std::string::npos);
    expectCanvas(buffer, canvas, {&half});

    // The exposure copy has the size the converter delivered.
    std::string dst = file("half_copy.tif");
    adjustOk(raw, dst, 1.0f, 1.0f);
    FixtureImage copy = readFixtureTiff(dst);
    EXPECT_EQ(copy.width, 10);
    EXPECT_EQ(copy.height, 6);
    EXPECT_EQ(copy.data, half.data);
}

TEST_F(PrepareTest, HalfSizeRawOnAScaledCanvasIsShrunkToIt)
{
    // 11 x 11 under -h is classified as 6 x 6; at 0.5 the canvas is 3 x 3 and
    // the converter's 6 x 6 image is shrunk onto it.
    FixtureImage half = patterned(6, 6, 3, 8, 0, 0, 13);
    std::string produced = file("half6.tif");
    writeFixtureTiff(produced, half, false);
    settings.converterPath = fakeConverter(env_.dir(), "11 x 11", produced);
    settings.converterArgs = "-h";
    std::string raw = file("odd.cr2");
    writeFile(raw, "raw");
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, raw, info).ok());
    ImageRegion canvas = info.region;
    scaleRegion(canvas, 0.5f);
    ASSERT_EQ(canvas.width, 3);
    std::vector<uint8_t> buffer(3 * 3 * 3, 0);
    ImageRegion region;
    prepareOk(raw, buffer.data(), &canvas, 0, 0.5f, false, &region);
    EXPECT_EQ(region.width, 3);
    EXPECT_EQ(region.height, 3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int s = 0; s < 3; ++s)
                ASSERT_EQ(buffer[(r * 3 + c) * 3 + s], half.at(r * 2, c * 2, s));

    // The scaled exposure copy of the same file fits its buffer too.
    std::string dst = file("odd_copy.tif");
    adjustOk(raw, dst, 1.0f, 0.5f);
    FixtureImage copy = readFixtureTiff(dst);
    EXPECT_EQ(copy.width, 3);
    EXPECT_EQ(copy.height, 3);
}

TEST_F(PrepareTest, RawConversionOfAnUnexpectedSizeIsRefused)
{
    std::string produced = file("wrong.tif");
    writeFixtureTiff(produced, patterned(30, 20, 3, 8, 0, 0, 12), false);
    settings.converterPath = fakeConverter(env_.dir(), "12 x 8", produced);
    std::string raw = file("odd.nef");
    writeFile(raw, "raw");
    std::vector<uint8_t> buffer(12 * 8 * 3, 0);
    const ImageRegion canvas{0, 0, 12, 8};
    samples::Printed p = samples::printedBy([&] { return prepare(raw, buffer.data(), &canvas, 0, 1.0f, false); });
    EXPECT_TRUE(failedWith(p.status, -1, "Fatal Error: Unexpected RAW conversion output\n"));
    EXPECT_EQ(p.output, "\nConverting RAW file...\n"
                        "RAW converter wrote 30x20 with 3 samples of 8 bits; expected 12x8 8-bit RGB\n");
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 12 * 8 * 3) << "nothing is read";
    EXPECT_FALSE(fileExists(scratchName(raw, "raw", 0))) << "the refused conversion is removed";
}

namespace {

// Trace lines with their addresses and temporary-name suffixes blanked, so
// runs compare line by line.
std::string withoutAddresses(const std::string& text)
{
    return std::regex_replace(std::regex_replace(text, std::regex("0x[0-9a-f]+"), "P"),
                              std::regex("\\.part-[0-9]+-[0-9a-f]+"), ".part");
}

} // namespace

TEST_F(PrepareTest, ScaledExposureCopyTracesInTheOrderOfItsSteps)
{
    FixtureImage image = patterned(20, 10, 3, 8, 0, 0, 14);
    std::string src = input("traced.tif", image);
    std::string dst = cacheName(src, 0.5f, 1.0f);
    run.console.setTracing(true);
    std::string out = adjustOk(src, dst, 1.0f, 0.5f);
    run.console.setTracing(false);
    // The source is classified once and read once. The copy's own buffer
    // (scaled size) outlives the shrink buffer of the read (full size); the
    // writer's row buffer goes after its file is closed. A cache file is
    // written under a temporary name beside it and renamed into place.
    const std::string temp = dst.substr(0, dst.rfind('/') + 1) + "." + dst.substr(dst.rfind('/') + 1) + ".part";
    EXPECT_EQ(withoutAddresses(out), "AdjustExposure: " + src + "\n"
                                     "File|" + src + "|open(r)|P\n"
                                     "File|0|close|P\n"
                                     "Mem|0|vAlloc|P|150\n"
                                     "Mem|1|vAlloc|P|600\n"
                                     "File|" + src + "|open(r)|P\n"
                                     "File|1|close|P\n"
                                     "Mem|0|vFree|P\n"
                                     "AdjustExposure: Writing file: " + dst + "\n"
                                     "File|" + temp + "|open(w)|P\n"
                                     "Mem|0|alloc|P|30\n"
                                     "File|2|close|P\n"
                                     "Mem|0|free|P\n"
                                     "Mem|1|vFree|P\n");
}

TEST_F(PrepareTest, ScaledRawExposureCopyTakesTheScaledBuffer)
{
    std::string produced = file("produced12.tif");
    writeFixtureTiff(produced, patterned(12, 8, 3, 8, 0, 0, 15), false);
    settings.converterPath = fakeConverter(env_.dir(), "12 x 8", produced);
    std::string raw = file("scaled.nef");
    writeFile(raw, "raw");
    std::string dst = cacheName(raw, 0.5f, 1.0f);
    run.console.setTracing(true);
    std::string out = adjustOk(raw, dst, 1.0f, 0.5f);
    run.console.setTracing(false);
    // The copy's buffer holds the scaled 6 x 4 image; the read shrinks from 12 x 8.
    EXPECT_NE(withoutAddresses(out).find("Mem|0|vAlloc|P|72\nMem|1|vAlloc|P|288\n\nConverting RAW file...\n"),
              std::string::npos)
        << out;
    FixtureImage copy = readFixtureTiff(dst);
    EXPECT_EQ(copy.width, 6);
    EXPECT_EQ(copy.height, 4);
}
