// The own LZW decoder must give back exactly what was encoded, and the row
// reader built on it exactly the rows libtiff reads, damaged files included.

#include "imageio/jpeg_io.h"
#include "imageio/lzw_decode.h"
#include "imageio/lzw_encode.h"
#include "imageio/tiff_row_reader.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <memory>
#include <random>

namespace {

using quovix::LzwDecoder;

// `n` bytes mixing runs (long strings, and codes defined by their own use),
// small alphabets and noise, so the tables clear both when full and when the
// ratio drops.
std::vector<uint8_t> mixedBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> v(n);
    size_t i = 0;
    while (i < n) {
        // Long flat runs followed by a small alphabet let the ratio drop.
        const size_t run = 1 + random() % 12000;
        const int kind = static_cast<int>(random() % 3);
        const uint8_t value = static_cast<uint8_t>(random());
        const uint32_t range = 2 + random() % 3;
        for (size_t k = 0; k < run && i < n; ++k, ++i)
            v[i] = kind == 0 ? value : kind == 1 ? static_cast<uint8_t>(value + random() % range)
                                                 : static_cast<uint8_t>(random());
    }
    return v;
}

std::vector<uint8_t> decoded(LzwDecoder& decoder, std::vector<uint8_t> codes, size_t size, bool& ok)
{
    const size_t n = codes.size();
    codes.resize(n + LzwDecoder::kPadding, 0xa5);  // padding of any value
    const uint8_t* out = decoder.decode(codes.data(), n, size);
    ok = out != nullptr;
    return ok ? std::vector<uint8_t>(out, out + size) : std::vector<uint8_t>();
}

TEST(LzwDecode, EncodedStripsOfEveryKindComeBackExactly)
{
    LzwDecoder decoder;  // reused: nothing may leak from one strip to the next
    quovix::LzwStats stats;
    for (uint32_t i = 0; i < 300; ++i) {
        const size_t n = i < 100 ? i + 1 : 1 + (i * 7919u) % 200000;
        const std::vector<uint8_t> data = mixedBytes(n, i);
        std::vector<uint8_t> codes;
        quovix::encodeLzwStrip(data.data(), data.size(), codes, &stats);
        bool ok = false;
        ASSERT_EQ(decoded(decoder, codes, n, ok), data) << "strip " << i << ", " << n << " bytes";
        ASSERT_TRUE(ok);
    }
    EXPECT_GT(stats.fullTableClears, 0u);
    EXPECT_GT(stats.ratioClears, 0u);
}

TEST(LzwDecode, DamagedOrMismatchedStripsAreRefusedNotGuessed)
{
    const std::vector<uint8_t> data = mixedBytes(50000, 7);
    std::vector<uint8_t> codes;
    quovix::encodeLzwStrip(data.data(), data.size(), codes);
    LzwDecoder decoder;
    bool ok = true;
    // More bytes expected than encoded: the end code comes too early.
    decoded(decoder, codes, data.size() + 1, ok);
    EXPECT_FALSE(ok);
    // Codes cut short.
    decoded(decoder, std::vector<uint8_t>(codes.begin(), codes.begin() + codes.size() / 2), data.size(), ok);
    EXPECT_FALSE(ok);
    // No clear code first.
    std::vector<uint8_t> noClear = codes;
    noClear[0] = 0x00;
    decoded(decoder, noClear, data.size(), ok);
    EXPECT_FALSE(ok);
    // A code far beyond the table (all ones): refused, whatever the rest.
    std::vector<uint8_t> undefined = codes;
    std::memset(undefined.data() + 100, 0xff, 4);
    decoded(decoder, undefined, data.size(), ok);
    EXPECT_FALSE(ok);
    // Fewer bytes wanted than encoded: those bytes, as libtiff stops there too.
    EXPECT_EQ(decoded(decoder, codes, 1000, ok), std::vector<uint8_t>(data.begin(), data.begin() + 1000));
    EXPECT_TRUE(ok);
}

// The decoded RGB samples of a bundled photograph and its width; empty when
// it cannot be read.
std::vector<uint8_t> crusaderPhoto(int& width)
{
    Console console;
    const std::string photo = sourceDir() + "/examples/crusader/2.jpeg";
    int height = 0, components = 0;
    if (!readJpegHeader(console, photo, width, height, components).ok())
        return {};
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    if (!readJpeg(console, photo, ImageInfo(), rgb.data()).ok())
        return {};
    return rgb;
}

// Writes the crop of a photograph as a TIFF (LZW unless told otherwise)
// through libtiff's own scanline writer: 8 or 16 bits, 1, 3 or 4 samples,
// with or without the predictor.
void writePhotoTiff(const std::string& path, const std::vector<uint8_t>& rgb, int pw, int width, int height,
                    int samples, int bits, bool predictor, int compression = COMPRESSION_LZW)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    if (samples == 4) {
        uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 32);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    if (predictor)
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    std::vector<uint8_t> row(static_cast<size_t>(width) * samples * bits / 8);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < samples; ++k) {
                const uint8_t v = k == 3 ? 255 : rgb[(static_cast<size_t>(y) * pw + x) * 3 + (samples == 1 ? 1 : k)];
                const size_t at = static_cast<size_t>(x) * samples + k;
                if (bits == 8) {
                    row[at] = v;
                } else {
                    const uint16_t w = static_cast<uint16_t>(v * 257 + (x * 31 + y) % 7);
                    std::memcpy(&row[2 * at], &w, 2);
                }
            }
        ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0), 1);
    }
    TIFFClose(tiff);
}

// Every row through the reader against libtiff's strip decoder. A strip
// libtiff cannot decode must fail at its first row; otherwise the rows match.
void expectRowsAsLibtiff(const std::string& path, int height, size_t rowBytes)
{
    TIFF* ours = TIFFOpen(path.c_str(), "r");
    TIFF* theirs = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(ours, nullptr);
    ASSERT_NE(theirs, nullptr);
    quovix::TiffRowReader reader(ours);
    std::vector<uint8_t> strip(32 * rowBytes), row(rowBytes);
    for (int first = 0; first < height; first += 32) {
        const int rows = std::min(32, height - first);
        const bool decodes = TIFFReadEncodedStrip(theirs, static_cast<uint32_t>(first / 32), strip.data(),
                                                  static_cast<tmsize_t>(rows * rowBytes)) ==
                             static_cast<tmsize_t>(rows * rowBytes);
        for (int r = 0; r < rows; ++r) {
            const quovix::Status status = reader.readRow(row.data(), first + r);
            if (!decodes) {
                EXPECT_FALSE(status.ok()) << path << " row " << first + r;
                break;
            }
            ASSERT_TRUE(status.ok()) << path << " row " << first + r << ": " << status.consoleText();
            ASSERT_EQ(0, std::memcmp(row.data(), strip.data() + r * rowBytes, rowBytes)) << path << " row " << first + r;
        }
    }
    TIFFClose(ours);
    TIFFClose(theirs);
}

TEST(TiffRowReader, RowsOfEveryLayoutMatchLibtiffIntactAndDamaged)
{
    int pw = 0;
    const std::vector<uint8_t> rgb = crusaderPhoto(pw);
    ASSERT_FALSE(rgb.empty());
    TempDir dir;
    std::mt19937 random(3);
    int damagedStrips = 0;
    for (int bits : {8, 16})
        for (int samples : {1, 3, 4})
            for (bool predictor : {false, true}) {
                const int width = 200 + static_cast<int>(random() % 300), height = 70 + static_cast<int>(random() % 60);
                const size_t rowBytes = static_cast<size_t>(width) * samples * bits / 8;
                const std::string path = dir.file("p" + std::to_string(bits) + "_" + std::to_string(samples) +
                                                  (predictor ? "p" : "") + ".tif");
                writePhotoTiff(path, rgb, pw, width, height, samples, bits, predictor);
                expectRowsAsLibtiff(path, height, rowBytes);

                // Bytes flipped inside the first two strips' data.
                TIFF* tiff = TIFFOpen(path.c_str(), "r");
                ASSERT_NE(tiff, nullptr);
                uint64_t* offsets = nullptr;
                ASSERT_EQ(TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets), 1);
                const uint64_t at[2] = {offsets[0] + 40, offsets[1] + 5};
                TIFFClose(tiff);
                std::string bytes = readFile(path);
                for (uint64_t a : at)
                    for (int k = 0; k < 6; ++k)
                        bytes[a + k] = static_cast<char>(bytes[a + k] ^ (0x5a + k));
                const std::string damaged = dir.file("damaged.tif");
                writeFile(damaged, bytes);
                expectRowsAsLibtiff(damaged, height, rowBytes);
                damagedStrips += 2;
            }
    EXPECT_EQ(damagedStrips, 24);
}

// Readers of files in every scratch codec decode into one shared set of
// buffers, strip by strip in turn, as the combination stage reads many files
// at once; every row must still be the file's own.
TEST(TiffRowReader, ReadersSharingBuffersKeepTheirOwnRows)
{
    int pw = 0;
    const std::vector<uint8_t> rgb = crusaderPhoto(pw);
    ASSERT_FALSE(rgb.empty());
    TempDir dir;
    struct Codec {
        int compression;
        bool predictor;
    };
    const Codec codecs[] = {{COMPRESSION_LZW, true}, {COMPRESSION_NONE, false}, {COMPRESSION_PACKBITS, false},
                            {COMPRESSION_ADOBE_DEFLATE, true}, {COMPRESSION_LZW, false}};
    const int width = 173, height = 100;  // four strips, the last one short
    const size_t rowBytes = static_cast<size_t>(width) * 4 * 2;
    std::vector<TIFF*> files;
    std::vector<std::vector<uint8_t>> expected;
    for (const Codec& codec : codecs) {
        const std::string path = dir.file("c" + std::to_string(files.size()) + ".tif");
        // Each file a different crop, so that rows from the wrong file differ.
        std::vector<uint8_t> shifted(rgb.begin() + static_cast<std::ptrdiff_t>(files.size()) * 3 * 7, rgb.end());
        writePhotoTiff(path, shifted, pw, width, height, 4, 16, codec.predictor, codec.compression);
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        std::vector<uint8_t> rows(rowBytes * height);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(TIFFReadScanline(tiff, rows.data() + y * rowBytes, static_cast<uint32_t>(y), 0), 1);
        TIFFClose(tiff);
        expected.push_back(std::move(rows));
        files.push_back(TIFFOpen(path.c_str(), "r"));
        ASSERT_NE(files.back(), nullptr);
    }
    std::vector<std::unique_ptr<quovix::TiffRowReader>> readers;
    for (TIFF* t : files) {
        readers.push_back(std::make_unique<quovix::TiffRowReader>(t));
        EXPECT_EQ(readers.back()->rowsPerStrip(), 32u);
    }
    quovix::StripBuffers shared;
    std::vector<uint8_t> row(rowBytes);
    // Runs of whole strips, then runs that stop inside a strip (the next run
    // of that file decodes the strip again).
    for (const int run : {32, 20}) {
        for (int first = 0; first < height; first += run)
            for (size_t f = 0; f < files.size(); ++f) {
                readers[f]->shareBuffers(shared);
                for (int y = first; y < std::min(first + run, height); ++y) {
                    ASSERT_TRUE(readers[f]->readRow(row.data(), y).ok()) << "file " << f << " row " << y;
                    ASSERT_EQ(0, std::memcmp(row.data(), expected[f].data() + y * rowBytes, rowBytes))
                        << "file " << f << " row " << y << " run " << run;
                }
            }
    }
    readers.clear();
    for (TIFF* t : files)
        TIFFClose(t);
}

} // namespace
