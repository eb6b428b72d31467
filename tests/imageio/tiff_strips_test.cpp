// The parallel strip writer must produce the very file the scanline writer
// produces: every test compares whole files byte for byte.

#include "imageio/jpeg_io.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_strips.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <sstream>

namespace {

using quovix::EncodedStrip;
using quovix::StripEncoder;
using quovix::StripLayout;
using quovix::StripWriteOptions;
using quovix::StripWriteResult;
using quovix::StripWriteStatus;

struct Photo {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

const Photo& photo()
{
    static const Photo p = [] {
        Photo q;
        int components = 0;
        Console console;
        const std::string path = sourceDir() + "/examples/crusader/1.jpeg";
        if (readJpegHeader(console, path, q.width, q.height, components).ok()) {
            q.rgb.resize(static_cast<size_t>(q.width) * q.height * 3);
            if (!readJpeg(console, path, ImageInfo(), q.rgb.data()).ok())
                q.rgb.clear();
        }
        return q;
    }();
    return p;
}

int samplesOf(int bytesPerPixel) { return bytesPerPixel <= 2 ? 1 : (bytesPerPixel == 3 || bytesPerPixel == 6 ? 3 : 4); }
int bitsOf(int bytesPerPixel) { return bytesPerPixel == 2 || bytesPerPixel == 6 || bytesPerPixel == 8 ? 16 : 8; }

// Bands of photograph, of random samples (which LZW expands, so the codec
// flushes in the middle of strips) and of a flat value, with an alpha edge.
std::vector<uint8_t> makeImage(uint32_t width, uint32_t height, int bytesPerPixel, uint32_t seed)
{
    const Photo& p = photo();
    const int samples = samplesOf(bytesPerPixel);
    const bool wide = bitsOf(bytesPerPixel) == 16;
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * bytesPerPixel);
    std::mt19937 random(seed);
    const uint32_t ox = (seed * 131u) % static_cast<uint32_t>(p.width);
    const uint32_t oy = (seed * 71u) % static_cast<uint32_t>(p.height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t band = (y / 24) % 5;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* px = &p.rgb[((static_cast<size_t>((y + oy) % p.height) * p.width) + (x + ox) % p.width) * 3];
            for (int k = 0; k < samples; ++k) {
                uint32_t v;
                if (band == 3)
                    v = random();
                else if (band == 4 && x < width / 2)
                    v = 0x1234;
                else if (k == 3)
                    v = x < width / 7 ? 0 : 0xffff;
                else if (samples == 1)
                    v = (px[0] * 77u + px[1] * 150u + px[2] * 29u) + (random() & 0x3f);  // luma, 16 bits
                else
                    v = px[k] * 224u + 4096u + (random() & 0x3f);  // stays below 65536
                const size_t at = (static_cast<size_t>(y) * width + x) * bytesPerPixel + (wide ? 2 * k : k);
                if (wide) {
                    const uint16_t s = static_cast<uint16_t>(v);
                    std::memcpy(&image[at], &s, 2);
                } else {
                    image[at] = static_cast<uint8_t>(band == 3 ? v : v >> 8);
                }
            }
        }
    }
    return image;
}

struct Case {
    uint32_t width = 97, height = 77;
    int bytesPerPixel = 3;
    uint16_t compression = COMPRESSION_LZW;
    bool predictor = true;  // as the program asks: only 8-bit LZW/DEFLATE get it
    bool predictor16 = false;  // force it on 16-bit samples too
    bool bigTiff = false;

    std::string name() const
    {
        std::ostringstream s;
        s << width << "x" << height << " bpp " << bytesPerPixel << " compression " << compression
          << (predictor ? " predictor" : "") << (predictor16 ? " predictor16" : "") << (bigTiff ? " BigTIFF" : "");
        return s.str();
    }
};

TIFF* openTagged(RunContext& run, const std::string& path, const Case& c)
{
    TIFF* t = TIFFOpen(path.c_str(), c.bigTiff ? "w8" : "w");
    if (t == nullptr)
        return nullptr;
    run.settings.compression = static_cast<Compression>(c.compression);
    ImageRegion region{3, 5, static_cast<int>(c.width), static_cast<int>(c.height)};
    TiffLayout layout(static_cast<int>(c.width), static_cast<int>(c.height), c.bytesPerPixel, region);
    layout.predictorAllowed = c.predictor;
    writeTiffTags(run, t, layout);
    if (c.predictor16)
        TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    return t;
}

// The scanline writer as the program runs it; returns the row it reports
// on failure, -1 on success. `quietFailure`: the first row whose write
// returned 0 (a codec flush that failed), which the program does not check.
int64_t writeRowByRow(TIFF* t, const uint8_t* pixels, const Case& c, int64_t* quietFailure = nullptr)
{
    const size_t rowBytes = static_cast<size_t>(c.width) * c.bytesPerPixel;
    std::vector<uint8_t> row(rowBytes);
    for (uint32_t y = 0; y < c.height; ++y) {
        std::memcpy(row.data(), pixels + y * rowBytes, rowBytes);
        const int status = TIFFWriteScanline(t, row.data(), y, 0);
        if (status == -1)
            return y;
        if (status == 0 && quietFailure != nullptr && *quietFailure < 0)
            *quietFailure = y;
    }
    if (c.height > 0 && TIFFFlush(t) == 0)
        return static_cast<int64_t>(c.height) - 1;
    return -1;
}

std::string referenceFile(RunContext& run, const TempDir& dir, const Case& c, const std::vector<uint8_t>& pixels)
{
    const std::string path = dir.file("reference.tif");
    TIFF* t = openTagged(run, path, c);
    EXPECT_NE(t, nullptr);
    EXPECT_EQ(writeRowByRow(t, pixels.data(), c), -1);
    TIFFClose(t);
    return readFile(path);
}

std::string parallelFile(RunContext& run, const TempDir& dir, const Case& c, const std::vector<uint8_t>& pixels,
                         const StripWriteOptions& options)
{
    const std::string path = dir.file("parallel.tif");
    TIFF* t = openTagged(run, path, c);
    EXPECT_NE(t, nullptr);
    const StripWriteResult r = quovix::writeStripsParallel(t, pixels.data(), options);
    EXPECT_EQ(r.status, StripWriteStatus::Written) << r.error;
    TIFFClose(t);
    return readFile(path);
}

class TiffStripsTest : public FreshSettingsTest {
protected:
    void SetUp() override
    {
        FreshSettingsTest::SetUp();
        previousWarningHandler = TIFFSetWarningHandler(nullptr);  // as the program runs
        ASSERT_FALSE(photo().rgb.empty()) << "cannot decode examples/crusader/1.jpeg";
    }
    void TearDown() override
    {
        TIFFSetWarningHandler(previousWarningHandler);
        FreshSettingsTest::TearDown();
    }
    // Compares the parallel file with the reference for each worker count.
    void expectIdentical(const Case& c, std::initializer_list<int> workers = {1, 2, 3, 8})
    {
        SCOPED_TRACE(c.name());
        const std::vector<uint8_t> pixels = makeImage(c.width, c.height, c.bytesPerPixel, c.width * 7 + c.height);
        const std::vector<uint8_t> before = pixels;
        const std::string reference = referenceFile(run, dir, c, pixels);
        ASSERT_GT(reference.size(), 8u);
        for (int w : workers) {
            StripWriteOptions options;
            options.workers = w;
            const std::string file = parallelFile(run, dir, c, pixels, options);
            EXPECT_TRUE(file == reference) << w << " workers: " << file.size() << " vs " << reference.size() << " bytes";
        }
        EXPECT_TRUE(pixels == before) << "the source pixels were modified";
    }
    TempDir dir;
    TIFFErrorHandler previousWarningHandler = nullptr;
};

TEST_F(TiffStripsTest, EveryCodecLayoutAndFileKindMatchesTheScanlineWriter)
{
    for (uint16_t compression : {COMPRESSION_LZW, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS, COMPRESSION_NONE})
        for (int bpp : {1, 2, 3, 4, 6, 8})
            for (bool predictor : {true, false})
                for (bool bigTiff : {false, true}) {
                    Case c;
                    c.compression = compression;
                    c.bytesPerPixel = bpp;
                    c.predictor = predictor;
                    c.bigTiff = bigTiff;
                    c.height = bigTiff ? 64 : 77;  // a whole number of strips, and a short last strip
                    expectIdentical(c);
                }
}

TEST_F(TiffStripsTest, EdgeSizesMatchTheScanlineWriter)
{
    // Height 33 leaves a one-row last strip, which libtiff's DEFLATE encodes
    // through a different back end than the others.
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 70}, {97, 1}, {1, 1}, {61, 33}, {61, 32}, {5, 31}};
    for (uint16_t compression : {COMPRESSION_LZW, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS, COMPRESSION_NONE})
        for (int bpp : {1, 4, 8})
            for (auto [w, h] : sizes) {
                Case c;
                c.compression = compression;
                c.bytesPerPixel = bpp;
                c.width = w;
                c.height = h;
                expectIdentical(c);
            }
}

TEST_F(TiffStripsTest, LargePhotographStripsAndSixteenBitPredictorMatch)
{
    // Strips big enough to fill LZW's code table several times and to make
    // the codecs flush in the middle of a strip.
    for (uint16_t compression : {COMPRESSION_LZW, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS}) {
        Case c;
        c.width = 700;
        c.height = 150;
        c.bytesPerPixel = 8;
        c.compression = compression;
        expectIdentical(c, {1, 3});
        c.bytesPerPixel = 3;
        expectIdentical(c, {2});
    }
    Case c;
    c.bytesPerPixel = 6;
    c.predictor16 = true;
    expectIdentical(c, {1, 2});
    c.compression = COMPRESSION_DEFLATE;
    expectIdentical(c, {3});
}

TEST_F(TiffStripsTest, ConvertedRowsAndSmallWindowsMatch)
{
    // Rows made by the workers: 8-bit RGBA narrowed from the photograph, as
    // a WorkPixel buffer is written, checked against converting row by row.
    Case c;
    c.width = 211;
    c.height = 170;
    c.bytesPerPixel = 4;
    const Photo& p = photo();
    auto convert = [&](uint32_t y, uint8_t* dst) {
        for (uint32_t x = 0; x < c.width; ++x) {
            const uint8_t* px = &p.rgb[(static_cast<size_t>(y) * p.width + x) * 3];
            for (int k = 0; k < 3; ++k)
                dst[4 * x + k] = static_cast<uint8_t>(std::min(255, px[k] * 5 / 4));
            dst[4 * x + 3] = x % 50 < 3 ? 0 : 255;
        }
    };
    std::vector<uint8_t> pixels(static_cast<size_t>(c.width) * c.height * 4);
    for (uint32_t y = 0; y < c.height; ++y)
        convert(y, &pixels[static_cast<size_t>(y) * c.width * 4]);
    const std::string reference = referenceFile(run, dir, c, pixels);
    std::atomic<int> calls{0};
    quovix::RowFiller fill = [&](uint32_t y0, uint32_t y1, uint8_t* dst) {
        ++calls;
        for (uint32_t y = y0; y < y1; ++y)
            convert(y, dst + static_cast<size_t>(y - y0) * c.width * 4);
    };
    for (auto [workers, window] : {std::pair{1, 1}, {2, 1}, {3, 2}, {8, 3}, {4, 0}}) {
        SCOPED_TRACE(std::to_string(workers) + " workers, window " + std::to_string(window));
        calls = 0;
        const std::string path = dir.file("converted.tif");
        TIFF* t = openTagged(run, path, c);
        ASSERT_NE(t, nullptr);
        StripWriteOptions options;
        options.workers = workers;
        options.window = window;
        EXPECT_EQ(quovix::writeStripsParallel(t, fill, options).status, StripWriteStatus::Written);
        TIFFClose(t);
        EXPECT_TRUE(readFile(path) == reference);
        EXPECT_EQ(calls.load(), 6);  // once per strip
    }
}

TEST_F(TiffStripsTest, AnyParallelForWorks)
{
    // A pool that runs the workers one after the other, last first, must
    // neither deadlock nor change the file.
    Case c;
    c.height = 300;
    const std::vector<uint8_t> pixels = makeImage(c.width, c.height, c.bytesPerPixel, 5);
    const std::string reference = referenceFile(run, dir, c, pixels);
    std::vector<int> order;
    StripWriteOptions options;
    options.workers = 4;
    options.window = 2;
    options.parallelFor = [&](int count, const std::function<void(int)>& body) {
        for (int i = count - 1; i >= 0; --i) {
            order.push_back(i);
            body(i);
        }
    };
    EXPECT_TRUE(parallelFile(run, dir, c, pixels, options) == reference);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 0}));
}

// A strip whose rows or buffers cannot be made (memory exhausted in a
// worker) fails the write at that strip: every worker returns, nothing is
// read from a buffer that is not there, and the failure says out of memory.
TEST_F(TiffStripsTest, StripThatCannotBeMadeFailsTheWrite)
{
    Case c;
    c.width = 97;
    c.height = 300;
    c.bytesPerPixel = 4;
    for (int compression : {COMPRESSION_LZW, COMPRESSION_NONE}) {
        c.compression = compression;
        for (int workers : {1, 2, 4}) {
            for (uint32_t failing : {0u, 4u, 9u}) {
                SCOPED_TRACE(std::to_string(workers) + " workers, strip " + std::to_string(failing) +
                             ", compression " + std::to_string(compression));
                std::atomic<int> calls{0};
                quovix::RowFiller fill = [&](uint32_t y0, uint32_t y1, uint8_t* dst) {
                    ++calls;
                    if (y0 / 32 == failing)
                        throw std::bad_alloc();
                    std::memset(dst, static_cast<int>(y0 & 0xFF), static_cast<size_t>(y1 - y0) * c.width * 4);
                };
                TIFF* t = openTagged(run, dir.file("failing.tif"), c);
                ASSERT_NE(t, nullptr);
                StripWriteOptions options;
                options.workers = workers;
                const StripWriteResult r = quovix::writeStripsParallel(t, fill, options);
                TIFFClose(t);
                EXPECT_EQ(r.status, StripWriteStatus::Failed);
                EXPECT_TRUE(r.outOfMemory);
                EXPECT_EQ(r.failedRow, static_cast<int64_t>(failing) * 32);
                EXPECT_LE(calls.load(), static_cast<int>(failing) + 1 + 3 * workers) << "writer stopped early";
            }
        }
    }
}

TEST_F(TiffStripsTest, EncoderGivesTheSameStripInAnyOrder)
{
    // One encoder reused across strips out of order, and for the same strip
    // twice, must give the bytes a fresh encoder gives.
    Case c;
    c.width = 300;
    c.height = 200;
    c.bytesPerPixel = 8;
    const std::vector<uint8_t> pixels = makeImage(c.width, c.height, c.bytesPerPixel, 9);
    for (uint16_t compression : {COMPRESSION_LZW, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS, COMPRESSION_NONE}) {
        StripLayout layout;
        layout.width = c.width;
        layout.height = c.height;
        layout.bitsPerSample = 16;
        layout.samplesPerPixel = 4;
        layout.compression = compression;
        const size_t stripBytes = layout.rowBytes() * layout.rowsPerStrip;
        std::vector<std::vector<uint8_t>> fresh(layout.stripCount());
        for (uint32_t s = 0; s < layout.stripCount(); ++s) {
            StripEncoder encoder(layout);
            EncodedStrip out;
            ASSERT_TRUE(encoder.encode(s, pixels.data() + s * stripBytes, out)) << out.error;
            fresh[s] = out.bytes;
        }
        StripEncoder reused(layout);
        for (uint32_t s : {6u, 2u, 3u, 0u, 2u, 5u, 1u, 4u, 6u}) {
            EncodedStrip out;
            ASSERT_TRUE(reused.encode(s, pixels.data() + s * stripBytes, out)) << out.error;
            EXPECT_TRUE(out.bytes == fresh[s]) << "compression " << compression << " strip " << s;
        }
    }
}

TEST_F(TiffStripsTest, LayoutsItCannotReproduceAreRefusedBeforeWriting)
{
    const std::string path = dir.file("refused.tif");
    for (int kind = 0; kind < 3; ++kind) {
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        run.settings.compression = static_cast<Compression>(kind == 0 ? COMPRESSION_JPEG : COMPRESSION_LZW);
        writeTiffTags(run, t, TiffLayout(64, 64, 3, ImageRegion{}));
        if (kind == 1)
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
        else if (kind == 2)
            TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_FLOATINGPOINT);
        const StripWriteResult r = quovix::writeStripsParallel(t, std::vector<uint8_t>(64 * 64 * 3).data(), {});
        EXPECT_EQ(r.status, StripWriteStatus::Unsupported) << kind;
        EXPECT_FALSE(r.error.empty());
        TIFFClose(t);
    }
}

// Under a file size limit, the writer must fail where the scanline writer
// fails and name the same row, whether the write that fails is the codec
// flushing a full buffer in the middle of a strip, the end of a strip, or the
// directory at the final flush.
TEST_F(TiffStripsTest, FullDiskFailsAtTheRowTheScanlineWriterNames)
{
    Case c;
    c.width = 120;
    c.height = 100;
    c.bytesPerPixel = 8;
    const std::vector<uint8_t> pixels = makeImage(c.width, c.height, c.bytesPerPixel, 3);
    const std::string reference = referenceFile(run, dir, c, pixels);
    std::vector<rlim_t> limits;
    for (rlim_t l = 100; l < reference.size() + 10; l += 1500)
        limits.push_back(l);
    for (rlim_t d : {1, 2, 20, 200})
        limits.push_back(reference.size() - d);  // into the directory
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        TIFFSetErrorHandler(nullptr);
        std::string report;
        for (rlim_t limit : limits) {
            rlimit l;
            getrlimit(RLIMIT_FSIZE, &l);
            l.rlim_cur = RLIM_INFINITY == l.rlim_max || limit < l.rlim_max ? limit : l.rlim_max;
            setrlimit(RLIMIT_FSIZE, &l);
            TIFF* t = openTagged(run, dir.file("row.tif"), c);
            int64_t quiet = -1;
            const int64_t rowWriter = t != nullptr ? writeRowByRow(t, pixels.data(), c, &quiet) : -2;
            if (t != nullptr)
                TIFFClose(t);
            for (int workers : {1, 2}) {
                t = openTagged(run, dir.file("strips.tif"), c);
                int64_t stripWriter = -2;
                if (t != nullptr) {
                    StripWriteOptions options;
                    options.workers = workers;
                    const StripWriteResult r = quovix::writeStripsParallel(t, pixels.data(), options);
                    stripWriter = r.status == StripWriteStatus::Written ? -1 : r.failedRow;
                    TIFFClose(t);
                }
                report += std::to_string(limit) + " " + std::to_string(rowWriter) + " " + std::to_string(quiet) +
                          " " + std::to_string(stripWriter) + "\n";
            }
        }
        if (write(fds[1], report.data(), report.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::istringstream lines(report);
    int count = 0, midStrip = 0, nextStrip = 0, flush = 0;
    for (long long limit, rowWriter, quiet, stripWriter; lines >> limit >> rowWriter >> quiet >> stripWriter;
         ++count) {
        EXPECT_EQ(stripWriter, rowWriter) << "size limit " << limit;
        // Any limit below the file's size must fail.
        EXPECT_EQ(rowWriter >= 0, limit < static_cast<long long>(reference.size())) << "size limit " << limit;
        flush += rowWriter == c.height - 1;
        nextStrip += rowWriter > 0 && rowWriter % 32 == 0;
        midStrip += quiet >= 0 && quiet % 32 != 0;
    }
    EXPECT_EQ(count, static_cast<int>(2 * limits.size()));
    // The sweep reaches every kind of failure point.
    EXPECT_GT(flush, 0);
    EXPECT_GT(nextStrip, 0);
    EXPECT_GT(midStrip, 0);
}

} // namespace
