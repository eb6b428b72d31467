// The own LZW encoder must give libtiff's bytes for every strip: checked
// against libtiff's encoder on thousands of strips of every kind.

#include "imageio/jpeg_io.h"
#include "imageio/lzw_encode.h"
#include "imageio/tiff_strips.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <random>

namespace {

using quovix::EncodedStrip;
using quovix::LzwCodec;
using quovix::StripEncoder;
using quovix::StripLayout;

std::vector<uint8_t> ownLzw(const std::vector<uint8_t>& data, quovix::LzwStats* stats = nullptr)
{
    std::vector<uint8_t> out;
    quovix::encodeLzwStrip(data.data(), data.size(), out, stats);
    return out;
}

// libtiff's encoding of `data` as the single one-row strip of an 8-bit grey image.
std::vector<uint8_t> libtiffLzw(const std::vector<uint8_t>& data)
{
    StripLayout layout;
    layout.width = static_cast<uint32_t>(data.size());
    layout.height = 1;
    layout.rowsPerStrip = 1;
    layout.compression = COMPRESSION_LZW;
    StripEncoder encoder(layout, LzwCodec::Libtiff);
    EncodedStrip out;
    EXPECT_TRUE(encoder.encode(0, data.data(), out)) << out.error;
    return out.bytes;
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed, uint32_t range = 256)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v)
        b = static_cast<uint8_t>(random() % range);
    return v;
}

const std::vector<uint8_t>& photoRgb(int& width, int& height)
{
    static int w = 0, h = 0;
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> v;
        int components = 0;
        Console console;
        const std::string path = sourceDir() + "/examples/crusader/2.jpeg";
        if (readJpegHeader(console, path, w, h, components).ok()) {
            v.resize(static_cast<size_t>(w) * h * 3);
            if (!readJpeg(console, path, ImageInfo(), v.data()).ok())
                v.clear();
        }
        return v;
    }();
    width = w;
    height = h;
    return rgb;
}

TEST(LzwEncode, AnEmptyStripIsTheEndCodeAsLibtiffWritesIt)
{
    // No scanline makes an empty strip; libtiff writes one for an encoded
    // strip of no bytes.
    TempDir dir;
    const std::string path = dir.file("empty.tif");
    TIFF* t = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 4);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    uint8_t none[1] = {0};
    TIFFWriteEncodedStrip(t, 0, none, 0);
    TIFFClose(t);
    t = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    std::vector<uint8_t> raw(64);
    const tmsize_t n = TIFFReadRawStrip(t, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(t);
    ASSERT_GT(n, 0);
    raw.resize(static_cast<size_t>(n));
    EXPECT_EQ(ownLzw({}), raw);
}

TEST(LzwEncode, EveryLengthOfARandomStripMatchesLibtiff)
{
    // Each prefix ends the strip at another table size, so the sweep meets
    // every code-width change and the table-full clear at the last code.
    const std::vector<uint8_t> data = randomBytes(4200, 1);
    quovix::LzwStats stats;
    for (size_t n = 1; n <= data.size(); ++n) {
        const std::vector<uint8_t> prefix(data.begin(), data.begin() + static_cast<ptrdiff_t>(n));
        ASSERT_EQ(ownLzw(prefix, &stats), libtiffLzw(prefix)) << n << " bytes";
    }
    EXPECT_GT(stats.fullTableClears, 0u);
}

TEST(LzwEncode, RepetitiveAndSmallAlphabetStripsMatchLibtiff)
{
    std::vector<std::vector<uint8_t>> strips;
    for (size_t n : {1, 2, 3, 4, 5, 17, 255, 256, 257, 1000, 65536, 300000, 2000000})
        strips.push_back(std::vector<uint8_t>(n, 0));
    for (size_t n : {10, 511, 512, 513, 5000, 70000})
        strips.push_back(std::vector<uint8_t>(n, 0xff));
    for (uint32_t range : {2u, 3u, 4u, 16u})
        for (size_t n : {777u, 20000u, 150000u})
            strips.push_back(randomBytes(n, range * 31 + n, range));
    std::vector<uint8_t> periodic(100000);
    for (size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = static_cast<uint8_t>((i * i / 7) % 251);
    strips.push_back(periodic);
    for (const auto& s : strips)
        ASSERT_EQ(ownLzw(s), libtiffLzw(s)) << s.size() << " bytes starting " << int(s[0]);
}

TEST(LzwEncode, StripsOfCompressibleDataThenNoiseDropTheTableOnTheRatio)
{
    // A flat run long enough to reach a ratio check with room left in the
    // table, then bytes that compress worse: at the next check the ratio has
    // dropped and the table is cleared. Noise after that fills the table.
    quovix::LzwStats stats;
    for (uint32_t seed = 0; seed < 40; ++seed) {
        std::vector<uint8_t> data(9000 + seed * 97, static_cast<uint8_t>(seed));
        const std::vector<uint8_t> worse = randomBytes(12000 + seed * 311, seed, 2 + seed % 3);
        data.insert(data.end(), worse.begin(), worse.end());
        const std::vector<uint8_t> noise = randomBytes(9000, seed + 100);
        data.insert(data.end(), noise.begin(), noise.end());
        ASSERT_EQ(ownLzw(data, &stats), libtiffLzw(data)) << "seed " << seed;
    }
    EXPECT_GT(stats.ratioClears, 0u);
    EXPECT_GT(stats.fullTableClears, 0u);
}

TEST(LzwEncode, LongStripsOfSteadyStatisticsMatchLibtiff)
{
    // Runs of random length and value compress at a steady ratio, so the
    // table lasts over many ratio checks and the ratio hardly moves from one
    // check to the next: the exact bit count after each clear decides when
    // the table is dropped.
    quovix::LzwStats stats;
    for (uint32_t seed = 0; seed < 60; ++seed) {
        std::mt19937 random(seed);
        const uint32_t longest = 8 + seed % 13 * 5, values = 2 + seed % 7;
        std::vector<uint8_t> data;
        while (data.size() < 120000)
            data.insert(data.end(), 1 + random() % longest, static_cast<uint8_t>(random() % values));
        ASSERT_EQ(ownLzw(data, &stats), libtiffLzw(data)) << "seed " << seed;
    }
    EXPECT_GT(stats.ratioClears, 10u);
}

TEST(LzwEncode, ThousandsOfRandomStripsMatchLibtiff)
{
    std::mt19937 random(99);
    for (int i = 0; i < 1500; ++i) {
        const size_t n = 1 + random() % (i % 10 == 0 ? 60000 : 3000);
        const uint32_t range = 1 + random() % 256;
        const std::vector<uint8_t> data = randomBytes(n, static_cast<uint32_t>(i), range);
        ASSERT_EQ(ownLzw(data), libtiffLzw(data)) << "strip " << i << ", " << n << " bytes of " << range;
    }
}

// Strips of the photograph in the layouts the program writes, through the
// whole strip encoder (predictor included), own codec against libtiff's.
TEST(LzwEncode, PhotographStripsInEveryLayoutMatchLibtiff)
{
    int pw = 0, ph = 0;
    const std::vector<uint8_t>& rgb = photoRgb(pw, ph);
    ASSERT_FALSE(rgb.empty());
    std::mt19937 random(5);
    int strips = 0;
    for (int round = 0; round < 40; ++round) {
        for (int bpp : {1, 2, 3, 4, 6, 8}) {
            StripLayout layout;
            layout.width = 1 + random() % 700;
            layout.height = 1 + random() % 100;
            layout.samplesPerPixel = static_cast<uint16_t>(bpp <= 2 ? 1 : (bpp == 3 || bpp == 6 ? 3 : 4));
            layout.bitsPerSample = static_cast<uint16_t>(bpp == 2 || bpp == 6 || bpp == 8 ? 16 : 8);
            layout.compression = COMPRESSION_LZW;
            layout.predictor = round % 2 == 0;
            const uint32_t x0 = random() % static_cast<uint32_t>(pw), y0 = random() % static_cast<uint32_t>(ph);
            std::vector<uint8_t> image(layout.rowBytes() * layout.height);
            const int samples = layout.samplesPerPixel;
            for (uint32_t y = 0; y < layout.height; ++y)
                for (uint32_t x = 0; x < layout.width; ++x) {
                    const uint8_t* px = &rgb[((static_cast<size_t>((y0 + y) % ph)) * pw + (x0 + x) % pw) * 3];
                    for (int k = 0; k < samples; ++k) {
                        const uint32_t v = k == 3 ? 0xffff : (samples == 1 ? px[1] : px[k]);
                        const size_t at = (static_cast<size_t>(y) * layout.width + x) * samples + k;
                        if (layout.bitsPerSample == 8)
                            image[at] = static_cast<uint8_t>(v);
                        else
                            reinterpret_cast<uint16_t*>(image.data())[at] =
                                static_cast<uint16_t>(v * 64 + 8192 + random() % 8);
                    }
                }
            StripEncoder own(layout, LzwCodec::Own), reference(layout, LzwCodec::Libtiff);
            const std::vector<uint8_t> before = image;
            for (uint32_t s = 0; s < layout.stripCount(); ++s, ++strips) {
                EncodedStrip a, b;
                const uint8_t* rows = image.data() + s * layout.rowsPerStrip * layout.rowBytes();
                ASSERT_TRUE(own.encode(s, rows, a));
                ASSERT_TRUE(reference.encode(s, rows, b));
                ASSERT_EQ(a.bytes, b.bytes) << layout.width << "x" << layout.height << " bpp " << bpp
                                            << (layout.predictor ? " predictor" : "") << " strip " << s;
            }
            ASSERT_EQ(image, before);
        }
    }
    EXPECT_GT(strips, 400);
}

} // namespace
