// Lays photographs side by side in one small JPEG: the inputs of a fusion,
// then, after an arrow, its result. Used for the pictures in the README.
//
//   image_strip [--width W] [--quality Q] [--crop X,Y,W,H] [--noArrow] OUTPUT.jpg INPUT... RESULT
//
// Inputs are TIFF (8 or 16 bits, grey or colour) or JPEG; each is shrunk by
// area averaging to the tile width. --crop takes the same part of every
// image first, as fractions of its width and height (e.g. 0.5,0.25,0.5,0.5),
// to show detail. --noArrow sets all images apart by the same gap, for
// results compared side by side rather than inputs and their result.
//
// Built on its own by scripts/make-readme-strips.sh; not part of the program.
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <tiffio.h>

#include "read_jpeg.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rgb8 {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // interleaved RGB
};

bool endsWithJpeg(const std::string& path)
{
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto ends = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        return lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0;
    };
    return ends(".jpg") || ends(".jpeg");
}

bool readTiff(const std::string& path, Rgb8& image)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr)
        return false;
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    // libtiff's RGBA interface narrows 16-bit samples and expands grey.
    std::vector<uint32_t> raster(static_cast<size_t>(width) * height);
    const bool ok = width > 0 && height > 0 &&
                    TIFFReadRGBAImageOriented(tif, width, height, raster.data(), ORIENTATION_TOPLEFT, 0) == 1;
    TIFFClose(tif);
    if (!ok)
        return false;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(raster.size() * 3);
    for (size_t i = 0; i < raster.size(); ++i) {
        image.pixels[3 * i + 0] = static_cast<uint8_t>(TIFFGetR(raster[i]));
        image.pixels[3 * i + 1] = static_cast<uint8_t>(TIFFGetG(raster[i]));
        image.pixels[3 * i + 2] = static_cast<uint8_t>(TIFFGetB(raster[i]));
    }
    return true;
}

bool readJpeg(const std::string& path, Rgb8& image)
{
    return readJpegRgb(path, image.width, image.height, image.pixels);
}

bool writeJpeg(const std::string& path, const Rgb8& image, int quality)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(image.pixels.data()) + static_cast<size_t>(info.next_scanline) * image.width * 3;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return std::fclose(file) == 0;
}

Rgb8 crop(const Rgb8& image, const double fraction[4])
{
    const int x0 = std::clamp(static_cast<int>(fraction[0] * image.width), 0, image.width - 1);
    const int y0 = std::clamp(static_cast<int>(fraction[1] * image.height), 0, image.height - 1);
    const int w = std::clamp(static_cast<int>(fraction[2] * image.width), 1, image.width - x0);
    const int h = std::clamp(static_cast<int>(fraction[3] * image.height), 1, image.height - y0);
    Rgb8 out;
    out.width = w;
    out.height = h;
    out.pixels.resize(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.pixels.data() + static_cast<size_t>(y) * w * 3,
                    image.pixels.data() + (static_cast<size_t>(y0 + y) * image.width + x0) * 3,
                    static_cast<size_t>(w) * 3);
    return out;
}

// Area averaging: every source pixel falls into one target pixel, whose value
// is the mean of the pixels it received. Only shrinks.
Rgb8 shrink(const Rgb8& image, int width, int height)
{
    std::vector<uint32_t> sums(static_cast<size_t>(width) * height * 3, 0);
    std::vector<uint32_t> counts(static_cast<size_t>(width) * height, 0);
    std::vector<int> column(image.width);
    for (int x = 0; x < image.width; ++x)
        column[x] = static_cast<int>(static_cast<int64_t>(x) * width / image.width);
    for (int y = 0; y < image.height; ++y) {
        const size_t targetRow = static_cast<size_t>(static_cast<int64_t>(y) * height / image.height) * width;
        const uint8_t* source = image.pixels.data() + static_cast<size_t>(y) * image.width * 3;
        for (int x = 0; x < image.width; ++x) {
            const size_t t = targetRow + column[x];
            sums[3 * t + 0] += source[3 * x + 0];
            sums[3 * t + 1] += source[3 * x + 1];
            sums[3 * t + 2] += source[3 * x + 2];
            ++counts[t];
        }
    }
    Rgb8 out;
    out.width = width;
    out.height = height;
    out.pixels.resize(sums.size());
    for (size_t t = 0; t < counts.size(); ++t) {
        const uint32_t n = std::max<uint32_t>(counts[t], 1);
        for (int c = 0; c < 3; ++c)
            out.pixels[3 * t + c] = static_cast<uint8_t>((sums[3 * t + c] + n / 2) / n);
    }
    return out;
}

void paste(Rgb8& canvas, const Rgb8& tile, int left, int top)
{
    for (int y = 0; y < tile.height && top + y < canvas.height; ++y)
        std::memcpy(canvas.pixels.data() + (static_cast<size_t>(top + y) * canvas.width + left) * 3,
                    tile.pixels.data() + static_cast<size_t>(y) * tile.width * 3, static_cast<size_t>(tile.width) * 3);
}

// A filled triangle pointing right, centred in the box.
void drawArrow(Rgb8& canvas, int left, int width, uint8_t grey)
{
    const int half = std::max(3, width / 3);
    const int centreY = canvas.height / 2;
    const int tipX = left + (width + half) / 2;
    for (int dy = -half; dy <= half; ++dy) {
        const int reach = half - std::abs(dy);
        for (int x = tipX - half; x <= tipX - half + reach; ++x)
            std::memset(canvas.pixels.data() + (static_cast<size_t>(centreY + dy) * canvas.width + x) * 3, grey, 3);
    }
}

[[noreturn]] void usage(const char* program)
{
    std::fprintf(stderr, "usage: %s [--width W] [--quality Q] [--crop X,Y,W,H] [--noArrow] OUTPUT.jpg INPUT... RESULT\n",
                 program);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    int width = 1200;
    int quality = 85;
    bool cropWanted = false;
    double cropFraction[4] = {0, 0, 1, 1};
    bool arrow = true;
    int arg = 1;
    for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
        if (std::strcmp(argv[arg], "--noArrow") == 0) {
            arrow = false;
            continue;
        }
        if (arg + 1 >= argc)
            usage(argv[0]);
        if (std::strcmp(argv[arg], "--width") == 0)
            width = std::atoi(argv[++arg]);
        else if (std::strcmp(argv[arg], "--quality") == 0)
            quality = std::atoi(argv[++arg]);
        else if (std::strcmp(argv[arg], "--crop") == 0) {
            cropWanted = std::sscanf(argv[++arg], "%lf,%lf,%lf,%lf", &cropFraction[0], &cropFraction[1],
                                     &cropFraction[2], &cropFraction[3]) == 4;
            if (!cropWanted)
                usage(argv[0]);
        } else
            usage(argv[0]);
    }
    if (argc - arg < 3 || width < 100 || quality < 1 || quality > 100)
        usage(argv[0]);
    const std::string output = argv[arg++];
    const int count = argc - arg;

    // Thin gaps between the inputs, a wider one holding the arrow before the result.
    const int gap = 6;
    const int arrowGap = arrow ? 28 : gap;
    const int tileWidth = (width - gap * (count - 2) - arrowGap) / count;
    Rgb8 canvas;
    std::vector<Rgb8> tiles;
    for (int i = 0; i < count; ++i) {
        const std::string path = argv[arg + i];
        Rgb8 image;
        if (!(endsWithJpeg(path) ? readJpeg(path, image) : readTiff(path, image))) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
            return 1;
        }
        if (cropWanted)
            image = crop(image, cropFraction);
        const int tileHeight = std::max(1, static_cast<int>(static_cast<int64_t>(image.height) * tileWidth / image.width));
        if (tileWidth > image.width) {
            std::fprintf(stderr, "%s: %s is narrower than a tile (%d px)\n", argv[0], path.c_str(), tileWidth);
            return 1;
        }
        tiles.push_back(shrink(image, tileWidth, tileHeight));
        canvas.height = std::max(canvas.height, tileHeight);
    }
    canvas.width = width;
    const uint8_t background = 0x20;
    canvas.pixels.assign(static_cast<size_t>(canvas.width) * canvas.height * 3, background);
    int left = 0;
    for (int i = 0; i < count; ++i) {
        paste(canvas, tiles[i], left, (canvas.height - tiles[i].height) / 2);
        left += tileWidth;
        if (i == count - 2 && arrow) {
            drawArrow(canvas, left, arrowGap, 0xE0);
            left += arrowGap;
        } else {
            left += gap;
        }
    }
    if (!writeJpeg(output, canvas, quality)) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], output.c_str());
        return 1;
    }
    return 0;
}
