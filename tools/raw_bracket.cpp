// Makes an exposure bracket from one linear 16-bit RGB image (the raw
// converter's "-4" output, a binary PPM read from standard input): for each
// exposure step the linear values are multiplied by 2^EV, clipped, encoded
// with a plain 2.2 power curve and written as a 16-bit RGB TIFF (Deflate with
// the horizontal predictor, to keep the files small).
//
//   raw_bracket OUTPUT_PREFIX EV [EV ...] < linear.ppm
//
// writes OUTPUT_PREFIX<EV>.tif for each EV, e.g. "tower_ev-2.tif".
//
// EV 0 is the exposure "to the right": the converter's linear output is not
// brightened, so a shot taken with headroom would leave every frame dark. The
// base gain puts the brightest 0.1 % of the pixels (by their largest channel)
// at white, so EV 0 clips almost nothing and +EV frames clip the sky as a
// real bracket would.
//
// Built on its own by scripts/make-raw-bracket.sh; not part of the program.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct LinearImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> samples;  // interleaved RGB, host order
};

// PPM header fields are separated by white space and may carry '#' comments.
bool readHeaderNumber(FILE* in, long& value)
{
    int c = std::fgetc(in);
    while (c == '#' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(in);
        c = std::fgetc(in);
    }
    if (c < '0' || c > '9')
        return false;
    value = 0;
    while (c >= '0' && c <= '9') {
        value = value * 10 + (c - '0');
        if (value > 1000000)
            return false;
        c = std::fgetc(in);
    }
    // The single white-space character after the last field ends the header.
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool readLinearPpm(FILE* in, LinearImage& image)
{
    if (std::fgetc(in) != 'P' || std::fgetc(in) != '6')
        return false;
    long width = 0, height = 0, maxval = 0;
    if (!readHeaderNumber(in, width) || !readHeaderNumber(in, height) || !readHeaderNumber(in, maxval))
        return false;
    if (width < 1 || height < 1 || maxval != 65535)
        return false;  // only the converter's 16-bit output is meant
    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    std::vector<unsigned char> bytes(count * 2);
    if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size())
        return false;
    image.samples.resize(count);
    for (size_t i = 0; i < count; ++i)  // PPM samples are big-endian
        image.samples[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    return true;
}

// Gain that takes the 99.9th percentile of the per-pixel maxima to white.
double baseGain(const LinearImage& image)
{
    std::vector<uint32_t> histogram(65536, 0);
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    for (size_t p = 0; p < pixels; ++p) {
        const uint16_t* rgb = image.samples.data() + 3 * p;
        ++histogram[std::max({rgb[0], rgb[1], rgb[2]})];
    }
    size_t above = 0;
    size_t level = histogram.size() - 1;
    while (level > 0 && above + histogram[level] <= pixels / 1000)
        above += histogram[level--];
    return level > 0 ? 65535.0 / static_cast<double>(level) : 1.0;
}

// Linear value (0..65535) times the exposure gain, clipped, gamma-encoded.
std::vector<uint16_t> encodingTable(double gain)
{
    std::vector<uint16_t> table(65536);
    for (size_t v = 0; v < table.size(); ++v) {
        double linear = std::min(1.0, static_cast<double>(v) / 65535.0 * gain);
        table[v] = static_cast<uint16_t>(std::lround(std::pow(linear, 1.0 / 2.2) * 65535.0));
    }
    return table;
}

bool writeTiff(const std::string& path, const LinearImage& image, const std::vector<uint16_t>& table)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ZIPQUALITY, 9);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "raw_bracket");

    const size_t rowSamples = static_cast<size_t>(image.width) * 3;
    std::vector<uint16_t> row(rowSamples);
    bool ok = true;
    for (uint32_t y = 0; y < image.height && ok; ++y) {
        const uint16_t* source = image.samples.data() + static_cast<size_t>(y) * rowSamples;
        for (size_t i = 0; i < rowSamples; ++i)
            row[i] = table[source[i]];
        ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_PREFIX EV [EV ...] < linear16.ppm\n", argv[0]);
        return 1;
    }
    LinearImage image;
    if (!readLinearPpm(stdin, image)) {
        std::fprintf(stderr, "%s: standard input is not a 16-bit binary PPM\n", argv[0]);
        return 1;
    }
    const double base = baseGain(image);
    std::printf("base gain %.3f (%+.2f EV)\n", base, std::log2(base));
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        const double ev = std::strtod(argv[i], &end);
        if (end == argv[i] || *end != '\0' || std::fabs(ev) > 16.0) {
            std::fprintf(stderr, "%s: bad exposure step '%s'\n", argv[0], argv[i]);
            return 1;
        }
        const std::string path = std::string(argv[1]) + argv[i] + ".tif";
        if (!writeTiff(path, image, encodingTable(base * std::exp2(ev)))) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
            return 1;
        }
        std::printf("%s: %ux%u, 16-bit RGB, %+g EV\n", path.c_str(), image.width, image.height, ev);
    }
    return 0;
}
