// The skeleton-and-append route that adds camera metadata to large TIFFs
// must give back the very same image: tags, strip layout and pixel bytes.
#include "imageio/tiff_directory.h"

#include "test_util.h"

#include <tiffio.h>

#include <cstdint>
#include <sys/stat.h>
#include <vector>

namespace {

struct Written {
    std::vector<std::vector<uint8_t>> strips;  // decoded
};

// A 16-bit RGBA LZW file with a profile and Software tag; mode "w", "wb"
// (big-endian), "w8" (BigTIFF); tiled when tileSize > 0; a second directory
// when twoImages.
Written writeSample(const std::string& path, const char* mode, int tileSize = 0, bool twoImages = false)
{
    const int width = 101;
    const int height = 75;
    Written w;
    TIFF* tif = TIFFOpen(path.c_str(), mode);
    EXPECT_NE(tif, nullptr);
    for (int image = 0; image < (twoImages ? 2 : 1); ++image) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
        const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_SOFTWARE, "sample writer");
        std::vector<uint8_t> icc(1000);
        for (size_t i = 0; i < icc.size(); ++i)
            icc[i] = static_cast<uint8_t>(i * 7);
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
        if (tileSize > 0) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, tileSize);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, tileSize);
            std::vector<uint8_t> tile(TIFFTileSize(tif), 3);
            for (uint32_t t = 0; t < TIFFNumberOfTiles(tif); ++t)
                TIFFWriteEncodedTile(tif, t, tile.data(), tile.size());
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 8);
            for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
                const int rows = std::min(8, height - static_cast<int>(s) * 8);
                std::vector<uint8_t> strip(static_cast<size_t>(rows) * width * 8);
                for (size_t i = 0; i < strip.size(); ++i)
                    strip[i] = static_cast<uint8_t>((i * 31 + s * 17) ^ (i >> 5));
                TIFFWriteEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
                w.strips.push_back(strip);
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return w;
}

uint64_t sizeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

TEST(TiffDirectoryTest, SkeletonPlusAppendedStripsGivesBackTheSameImageInBothByteOrders)
{
    for (const char* mode : {"w", "wb"}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        const std::string original = dir.file("original.tif");
        const Written written = writeSample(original, mode);

        StripTable strips;
        std::string reason;
        ASSERT_TRUE(writeStripSkeleton(original, dir.file("skeleton.tif"), strips, reason)) << reason;
        ASSERT_EQ(strips.offsets.size(), written.strips.size());
        // Tags and one byte per strip: a fraction of the image.
        EXPECT_LT(sizeOf(dir.file("skeleton.tif")), sizeOf(original) / 4);

        // The skeleton itself is a valid TIFF with the original's tags.
        TIFF* skeleton = TIFFOpen(dir.file("skeleton.tif").c_str(), "r");
        ASSERT_NE(skeleton, nullptr);
        uint32_t width = 0;
        char* software = nullptr;
        TIFFGetField(skeleton, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(skeleton, TIFFTAG_SOFTWARE, &software);
        EXPECT_EQ(width, 101u);
        ASSERT_NE(software, nullptr);
        EXPECT_STREQ(software, "sample writer");
        EXPECT_EQ(TIFFNumberOfStrips(skeleton), strips.offsets.size());
        TIFFClose(skeleton);

        ASSERT_TRUE(appendStrips(dir.file("skeleton.tif"), original, strips, dir.file("joined.tif"), reason))
            << reason;
        StripTable joinedStrips;
        ASSERT_TRUE(readStripTable(dir.file("joined.tif"), joinedStrips, reason)) << reason;
        EXPECT_EQ(joinedStrips.byteCounts, strips.byteCounts);
        EXPECT_NE(joinedStrips.offsets, strips.offsets);

        TIFF* joined = TIFFOpen(dir.file("joined.tif").c_str(), "r");
        ASSERT_NE(joined, nullptr);
        EXPECT_EQ(TIFFIsBigEndian(joined) != 0, mode[1] == 'b') << "byte order kept";
        uint32_t iccSize = 0;
        void* icc = nullptr;
        ASSERT_TRUE(TIFFGetField(joined, TIFFTAG_ICCPROFILE, &iccSize, &icc));
        ASSERT_EQ(iccSize, 1000u);
        EXPECT_EQ(static_cast<uint8_t*>(icc)[999], static_cast<uint8_t>(999 * 7));
        ASSERT_EQ(TIFFNumberOfStrips(joined), written.strips.size());
        for (uint32_t s = 0; s < TIFFNumberOfStrips(joined); ++s) {
            std::vector<uint8_t> strip(written.strips[s].size());
            ASSERT_EQ(TIFFReadEncodedStrip(joined, s, strip.data(), static_cast<tmsize_t>(strip.size())),
                      static_cast<tmsize_t>(strip.size()));
            EXPECT_EQ(strip, written.strips[s]) << "strip " << s;
        }
        TIFFClose(joined);
    }
}

TEST(TiffDirectoryTest, FilesItCannotRebuildAreRefused)
{
    TempDir dir;
    StripTable strips;
    std::string reason;

    writeSample(dir.file("tiled.tif"), "w", 16);
    EXPECT_FALSE(writeStripSkeleton(dir.file("tiled.tif"), dir.file("s.tif"), strips, reason));
    EXPECT_FALSE(reason.empty());

    writeSample(dir.file("big.tif"), "w8");
    EXPECT_FALSE(writeStripSkeleton(dir.file("big.tif"), dir.file("s.tif"), strips, reason));

    writeSample(dir.file("two.tif"), "w", 0, true);
    EXPECT_FALSE(writeStripSkeleton(dir.file("two.tif"), dir.file("s.tif"), strips, reason));

    writeFile(dir.file("short.tif"), "II*");
    EXPECT_FALSE(writeStripSkeleton(dir.file("short.tif"), dir.file("s.tif"), strips, reason));

    // A strip table that does not match the skeleton's is not spliced.
    writeSample(dir.file("a.tif"), "w");
    ASSERT_TRUE(writeStripSkeleton(dir.file("a.tif"), dir.file("s.tif"), strips, reason)) << reason;
    strips.offsets.pop_back();
    strips.byteCounts.pop_back();
    EXPECT_FALSE(appendStrips(dir.file("s.tif"), dir.file("a.tif"), strips, dir.file("out.tif"), reason));
}

} // namespace
