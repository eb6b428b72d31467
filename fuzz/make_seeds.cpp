// Writes the fuzz corpora and reproducers (fuzz/corpus, fuzz/reproducers) from
// the bundled photographs: small crops as TIFF and JPEG files of the layouts
// the readers accept and of some they refuse, hand-built hostile files, the
// RAW converter's TIFF layout, and typical command lines. Run once by hand
// when the seeds change:
//   quovix_fuzz_seeds <source folder> [<camera RAW file for the converter's header>]
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

#include "analysis/fusion_run.h"
#include "analysis/work_files.h"
#include "icc_samples.h"

// Exiv2 0.27 still hands out std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace {

namespace fs = std::filesystem;

struct Image {
    int width = 0, height = 0, samples = 3;
    std::vector<uint8_t> pixels;
};

std::string gRoot;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
    std::exit(1);
}

void writeBytes(const std::string& relative, const std::string& bytes)
{
    const fs::path path = fs::path(gRoot) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read " + path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Image decodeJpeg(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        fail("cannot open " + path);
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    Image image;
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.pixels.resize(size_t(image.width) * image.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.pixels.data() + size_t(info.output_scanline) * image.width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return image;
}

// Box-averaged by `factor`, then the width x height window at (x, y).
Image crop(const Image& source, int factor, int x, int y, int width, int height)
{
    Image out;
    out.width = width;
    out.height = height;
    out.pixels.resize(size_t(width) * height * 3);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            for (int s = 0; s < 3; ++s) {
                int sum = 0;
                for (int dy = 0; dy < factor; ++dy)
                    for (int dx = 0; dx < factor; ++dx)
                        sum += source.pixels[(size_t((y + r) * factor + dy) * source.width + (x + c) * factor + dx) * 3 + s];
                out.pixels[(size_t(r) * width + c) * 3 + s] = uint8_t(sum / (factor * factor));
            }
    return out;
}

Image grey(const Image& rgb)
{
    Image out = rgb;
    out.samples = 1;
    out.pixels.resize(size_t(rgb.width) * rgb.height);
    for (size_t i = 0; i < out.pixels.size(); ++i)
        out.pixels[i] = uint8_t((rgb.pixels[i * 3] * 77 + rgb.pixels[i * 3 + 1] * 150 + rgb.pixels[i * 3 + 2] * 29) >> 8);
    return out;
}

Image withAlpha(const Image& rgb)
{
    Image out = rgb;
    out.samples = 4;
    out.pixels.clear();
    for (size_t i = 0; i < size_t(rgb.width) * rgb.height; ++i) {
        out.pixels.insert(out.pixels.end(), rgb.pixels.begin() + i * 3, rgb.pixels.begin() + i * 3 + 3);
        out.pixels.push_back(uint8_t(i % 7 == 0 ? 0 : 255));
    }
    return out;
}

constexpr uint16_t kFromSamples = 0xFFFF;  // photometric: grey or RGB by the samples

struct TiffKind {
    uint16_t bits = 8;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t predictor = 0;
    uint32_t rowsPerStrip = 0;          // 0: libtiff's default
    bool position = false;
    float xPosition = 0, yPosition = 0;
    uint16_t photometric = kFromSamples;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    bool tiled = false;
    const char* mode = "w";             // "wb": big-endian, "w8": BigTIFF
};

std::string tiffBytes(const Image& image, const TiffKind& kind)
{
    const std::string temp = (fs::temp_directory_path() / "quovix-seed.tif").string();
    TIFF* t = TIFFOpen(temp.c_str(), kind.mode);
    if (t == nullptr)
        fail("cannot write " + temp);
    const uint16_t samples = uint16_t(image.samples);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, kind.bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                 kind.photometric != kFromSamples ? kind.photometric : (samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, kind.planar);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, kind.sampleFormat);
    TIFFSetField(t, TIFFTAG_COMPRESSION, kind.compression);
    if (kind.predictor != 0)
        TIFFSetField(t, TIFFTAG_PREDICTOR, kind.predictor);
    if (samples == 4 || samples == 2) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (kind.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> map(size_t(1) << kind.bits);
        for (size_t i = 0; i < map.size(); ++i)
            map[i] = uint16_t(i * 257);
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    }
    if (kind.position) {
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_XPOSITION, double(kind.xPosition));
        TIFFSetField(t, TIFFTAG_YPOSITION, double(kind.yPosition));
    }
    // Samples in file order: 8 bits as they are, 16 bits widened (x257),
    // 32-bit floats as fractions, 1 bit thresholded.
    const size_t perRow = size_t(image.width) * samples;
    std::vector<uint8_t> row((perRow * kind.bits + 7) / 8 + 16);
    auto fillRow = [&](int y, int plane, int planeSamples) {
        std::fill(row.begin(), row.end(), 0);
        const size_t count = size_t(image.width) * planeSamples;
        for (size_t i = 0; i < count; ++i) {
            const size_t pixel = i / planeSamples;
            const size_t s = planeSamples == 1 && samples > 1 ? size_t(plane) : i % planeSamples;
            const uint8_t v = image.pixels[(size_t(y) * image.width + pixel) * samples + s];
            if (kind.bits == 8) {
                row[i] = v;
            } else if (kind.bits == 16) {
                const uint16_t w = uint16_t(v * 257);
                std::memcpy(&row[i * 2], &w, 2);
            } else if (kind.bits == 32) {
                const float f = v / 255.0f;
                std::memcpy(&row[i * 4], &f, 4);
            } else if (kind.bits == 1 && v > 127) {
                row[i / 8] |= uint8_t(0x80 >> (i % 8));
            }
        }
    };
    if (kind.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        const size_t pixelBytes = samples * kind.bits / 8;
        std::vector<uint8_t> tile(TIFFTileSize(t));
        for (int ty = 0; ty < image.height; ty += 16)
            for (int tx = 0; tx < image.width; tx += 16) {
                std::fill(tile.begin(), tile.end(), 0);
                for (int y = ty; y < ty + 16 && y < image.height; ++y) {
                    fillRow(y, 0, samples);
                    for (int x = tx; x < tx + 16 && x < image.width; ++x)
                        std::memcpy(&tile[(size_t(y - ty) * 16 + (x - tx)) * pixelBytes], &row[x * pixelBytes],
                                    pixelBytes);
                }
                TIFFWriteTile(t, tile.data(), uint32_t(tx), uint32_t(ty), 0, 0);
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP,
                     kind.rowsPerStrip != 0 ? kind.rowsPerStrip : TIFFDefaultStripSize(t, 0));
        if (kind.planar == PLANARCONFIG_SEPARATE) {
            for (int p = 0; p < samples; ++p)
                for (int y = 0; y < image.height; ++y) {
                    fillRow(y, p, 1);
                    TIFFWriteScanline(t, row.data(), uint32_t(y), uint16_t(p));
                }
        } else {
            for (int y = 0; y < image.height; ++y) {
                fillRow(y, 0, samples);
                TIFFWriteScanline(t, row.data(), uint32_t(y), 0);
            }
        }
    }
    TIFFClose(t);
    std::string bytes = readBytes(temp);
    fs::remove(temp);
    return bytes;
}

struct JpegKind {
    int quality = 90;
    bool progressive = false;
    bool arithmetic = false;
    bool optimize = false;
    bool fullChroma = false;           // 4:4:4 instead of 4:2:0
    unsigned restartInterval = 0;
    J_COLOR_SPACE space = JCS_RGB;     // the input's model: JCS_RGB, JCS_GRAYSCALE, JCS_CMYK
    std::string app1;                  // an APP1 segment to add (Exif)
};

std::string jpegBytes(const Image& image, const JpegKind& kind)
{
    jpeg_compress_struct c;
    jpeg_error_mgr errors;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &memory, &size);
    const int components = kind.space == JCS_GRAYSCALE ? 1 : kind.space == JCS_CMYK ? 4 : 3;
    c.image_width = JDIMENSION(image.width);
    c.image_height = JDIMENSION(image.height);
    c.input_components = components;
    c.in_color_space = kind.space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, kind.quality, TRUE);
    if (kind.fullChroma)
        for (int i = 0; i < c.num_components; ++i)
            c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    if (kind.progressive)
        jpeg_simple_progression(&c);
    c.arith_code = kind.arithmetic ? TRUE : FALSE;
    c.optimize_coding = kind.optimize ? TRUE : FALSE;
    c.restart_interval = kind.restartInterval;
    jpeg_start_compress(&c, TRUE);
    if (!kind.app1.empty())
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(kind.app1.data()),
                          unsigned(kind.app1.size()));
    std::vector<uint8_t> row(size_t(image.width) * components);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = &image.pixels[(size_t(y) * image.width + x) * 3];
            uint8_t* q = &row[size_t(x) * components];
            if (components == 1)
                q[0] = uint8_t((p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8);
            else if (components == 3)
                std::memcpy(q, p, 3);
            else {
                q[0] = uint8_t(255 - p[0]);
                q[1] = uint8_t(255 - p[1]);
                q[2] = uint8_t(255 - p[2]);
                q[3] = 0;
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(memory), size);
    std::free(memory);
    return bytes;
}

// A JPEG whose frame header declares another size; its scan is cut after a
// few bytes and closed with an end marker.
std::string forgeJpegSize(std::string jpeg, uint8_t frameMarker, int width, int height, size_t scanBytes)
{
    const size_t sof = jpeg.find(std::string("\xFF") + char(frameMarker), 2);
    if (sof == std::string::npos)
        fail("no frame header");
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    const size_t sos = jpeg.find("\xFF\xDA", sof);
    const size_t scan = sos + 2 + ((uint8_t(jpeg[sos + 2]) << 8) | uint8_t(jpeg[sos + 3]));
    return jpeg.substr(0, scan + scanBytes) + "\xFF\xD9";
}

// Classic little-endian TIFF built by hand: a grey 8-bit image whose header
// may claim any size, strip counts and compression.
struct HandTiff {
    uint32_t width = 16, height = 16, strips = 1, rowsPerStrip = 16;
    uint16_t compression = COMPRESSION_NONE;
    std::vector<uint32_t> counts;      // per strip; default: a full strip
    uint32_t storedBytes = 0;          // data bytes actually stored
    uint32_t offsetCount = 0;          // entries in StripOffsets (0: strips)
};

std::string handTiff(const HandTiff& h)
{
    std::string out;
    auto put16 = [&](uint16_t v) { out.push_back(char(v & 0xFF)); out.push_back(char(v >> 8)); };
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF)); };
    const uint32_t offsets = h.offsetCount != 0 ? h.offsetCount : h.strips;
    const uint16_t entries = 8;
    const uint32_t offsetsAt = 8 + 2 + entries * 12 + 4;
    const uint32_t countsAt = offsetsAt + 4 * offsets;
    const uint32_t dataAt = offsets == 1 ? offsetsAt : countsAt + 4 * offsets;  // one strip: no tables
    std::vector<uint32_t> counts = h.counts;
    counts.resize(offsets, h.width * h.rowsPerStrip);
    out += "II";
    put16(42);
    put32(8);
    put16(entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tag); put16(type); put32(count); put32(value);
    };
    entry(256, 4, 1, h.width);
    entry(257, 4, 1, h.height);
    entry(258, 3, 1, 8);
    entry(259, 3, 1, h.compression);
    entry(262, 3, 1, 1);
    entry(273, 4, offsets, offsets == 1 ? dataAt : offsetsAt);
    entry(278, 4, 1, h.rowsPerStrip);
    entry(279, 4, offsets, offsets == 1 ? counts[0] : countsAt);
    put32(0);
    if (offsets > 1) {
        uint32_t at = dataAt;
        for (uint32_t i = 0; i < offsets; ++i) {
            put32(at);
            at += counts[i];
        }
        for (uint32_t i = 0; i < offsets; ++i)
            put32(counts[i]);
    }
    for (uint32_t i = 0; i < h.storedBytes; ++i)
        out.push_back(char((i * 13) & 0xFF));
    return out;
}

uint32_t get16(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8;
}
uint32_t get32(const std::string& b, size_t at)
{
    return get16(b, at) | get16(b, at + 2) << 16;
}
void set32(std::string& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}
void set16(std::string& b, size_t at, uint32_t v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}

// Position tags of a little-endian TIFF turned into signed rationals with
// negated numerators (libtiff refuses to write negative positions).
std::string negatePositions(std::string bytes)
{
    const size_t ifd = get32(bytes, 4);
    for (uint32_t e = 0; e < get16(bytes, ifd); ++e) {
        const size_t at = ifd + 2 + 12 * e;
        const uint32_t tag = get16(bytes, at);
        if (tag != TIFFTAG_XPOSITION && tag != TIFFTAG_YPOSITION)
            continue;
        set16(bytes, at + 2, 10);  // SRATIONAL
        const size_t value = get32(bytes, at + 8);
        set32(bytes, value, uint32_t(-int32_t(get32(bytes, value))));
    }
    return bytes;
}

// The converter's own TIFF (little-endian, one uncompressed strip after its
// header) resized to the image's size, carrying the image's pixels: the
// converter's layout without the photograph it was made from.
std::string converterTiff(const std::string& header, const Image& image, int bits)
{
    std::string out = header;
    const size_t ifd = get32(out, 4);
    uint32_t dataAt = 0;
    const uint32_t dataBytes = uint32_t(image.width) * image.height * 3 * bits / 8;
    for (uint32_t e = 0; e < get16(out, ifd); ++e) {
        const size_t at = ifd + 2 + 12 * e;
        const uint32_t tag = get16(out, at);
        const uint32_t type = get16(out, at + 2);
        auto setValue = [&](uint32_t v) { type == 3 ? set16(out, at + 8, v) : set32(out, at + 8, v); };
        if (tag == 256) setValue(uint32_t(image.width));
        if (tag == 257 || tag == 278) setValue(uint32_t(image.height));
        if (tag == 279) setValue(dataBytes);
        if (tag == 273) dataAt = type == 3 ? get16(out, at + 8) : get32(out, at + 8);
    }
    if (dataAt == 0 || dataAt > out.size())
        fail("unexpected converter header");
    out.resize(dataAt);
    for (uint8_t v : image.pixels) {
        if (bits == 8) {
            out.push_back(char(v));
        } else {
            out.push_back(char(v));   // little-endian v * 257
            out.push_back(char(v));
        }
    }
    return out;
}

std::string converterHeader(const std::string& raw, const std::string& flags)
{
    const std::string temp = (fs::temp_directory_path() / "quovix-seed-dcraw.tiff").string();
    const std::string command = "dcraw -c -T " + flags + " '" + raw + "' > '" + temp + "'";
    if (std::system(command.c_str()) != 0)
        fail("dcraw failed: " + command);
    std::string bytes = readBytes(temp);
    fs::remove(temp);
    const size_t ifd = get32(bytes, 4);
    for (uint32_t e = 0; e < get16(bytes, ifd); ++e) {
        const size_t at = ifd + 2 + 12 * e;
        if (get16(bytes, at) == 273)
            return bytes.substr(0, get32(bytes, at + 8));
    }
    fail("no strip in the converter's file");
}

// The RAW target's input: the size the converter reported, the flags, the file.
std::string rawInput(int width, int height, bool halfSize, const std::string& tiff)
{
    std::string out;
    out.push_back(char(width & 0xFF));
    out.push_back(char(width >> 8));
    out.push_back(char(height & 0xFF));
    out.push_back(char(height >> 8));
    out.push_back(char(halfSize ? 1 : 0));
    return out + tiff;
}

std::string args(std::initializer_list<const char*> list)
{
    std::string out;
    for (const char* a : list) {
        if (!out.empty())
            out.push_back('\0');
        out += a;
    }
    return out;
}

// A photograph's file with camera metadata as a camera or an editor leaves
// it: EXIF (with the maker note of `exifFrom`, a camera file, when given),
// and with `rich` also XMP and IPTC.
std::string withMetadata(const std::string& file, const char* ext, bool rich, const std::string& exifFrom)
{
    const fs::path temp = fs::temp_directory_path() / (std::string("quovix-seed-metadata") + ext);
    std::ofstream(temp, std::ios::binary) << file;
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(temp.string());
    image->readMetadata();
    Exiv2::ExifData exif;
    if (!exifFrom.empty()) {
        Exiv2::Image::AutoPtr camera = Exiv2::ImageFactory::open(exifFrom);
        camera->readMetadata();
        for (const Exiv2::Exifdatum& d : camera->exifData()) {
            const std::string group = d.groupName();
            if (group == "Photo" || group == "GPSInfo" || Exiv2::ExifTags::isMakerGroup(group) ||
                (group == "Image" && (d.tagName() == "Make" || d.tagName() == "Model")))
                exif.add(d);
        }
    } else {
        exif["Exif.Image.Make"] = "Quovix Optics";
        exif["Exif.Image.Model"] = "QX-1";
        exif["Exif.Image.Orientation"] = uint16_t(6);
        exif["Exif.Photo.DateTimeOriginal"] = "2024:05:06 07:08:09";
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        exif["Exif.Photo.PixelXDimension"] = uint32_t(48);
        exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
        exif["Exif.GPSInfo.GPSLatitude"] = "48/1 51/1 2400/100";
    }
    image->setExifData(exif);
    if (rich) {
        Exiv2::XmpData xmp;
        xmp["Xmp.dc.title"] = "lang=x-default Crusader";
        xmp["Xmp.xmpMM.DocumentID"] = "xmp.did:1234";
        xmp["Xmp.crs.Exposure2012"] = "+0.50";
        xmp["Xmp.tiff.ImageWidth"] = "48";
        image->setXmpData(xmp);
        Exiv2::IptcData iptc;
        iptc["Iptc.Application2.Keywords"] = "knight";
        iptc["Iptc.Application2.City"] = "Sintra";
        image->setIptcData(iptc);
    }
    image->writeMetadata();
    image.reset();
    std::string bytes = readBytes(temp.string());
    fs::remove(temp);
    return bytes;
}

// A JPEG with `segment` (marker, length and payload) right after its SOI.
std::string withSegment(const std::string& jpeg, int marker, const std::string& payload)
{
    std::string segment = "\xFF";
    segment.push_back(char(marker));
    segment.push_back(char((payload.size() + 2) >> 8));
    segment.push_back(char((payload.size() + 2) & 0xFF));
    return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

std::string iccChunk(int sequence, int count, const std::string& data)
{
    return std::string("ICC_PROFILE\0", 12) + char(sequence) + char(count) + data;
}

std::string profileBytes(const icc_samples::ProfileOptions& options = {})
{
    const std::vector<unsigned char> p = icc_samples::makeProfile(options);
    return std::string(p.begin(), p.end());
}

// The value of IFD0's entry `tag` of a classic little-endian TIFF set to
// `value`; unchanged when there is none.
std::string setIfd0Entry(std::string tiff, uint16_t tag, uint32_t value)
{
    const size_t ifd = get32(tiff, 4);
    for (uint32_t e = 0; e < get16(tiff, ifd); ++e) {
        const size_t at = ifd + 2 + 12 * e;
        if (get16(tiff, at) == tag)
            set32(tiff, at + 8, value);
    }
    return tiff;
}

// A scratch file as the run writes it: a Laplacian level (value + 8192) or
// a weight map of `width` x `height`.
std::string scratchFile(const std::string& kind, int width, int height, quovix::Compression compression)
{
    quovix::Options options;
    options.tempFolder = fs::temp_directory_path().string();
    options.scratchCompression = compression;
    quovix::FusionRun run(options);
    run.canvas = quovix::ImageRegion{0, 0, width, height};
    const std::string path = (fs::temp_directory_path() / "quovix-seed-scratch.tif").string();
    quovix::Status status;
    if (kind == "l") {
        std::vector<quovix::WorkPixel> level(size_t(width) * height);
        for (size_t i = 0; i < level.size(); ++i) {
            const auto v = static_cast<int16_t>(8192 + int(i % 61) - 30);
            level[i] = quovix::WorkPixel{v, int16_t(v + 7), int16_t(v - 3), quovix::kAlphaPresent};
        }
        status = quovix::writeLaplacianFile(run, path, level.data(), width, height, run.canvas);
    } else {
        std::vector<uint16_t> weights(size_t(width) * height);
        for (size_t i = 0; i < weights.size(); ++i)
            weights[i] = uint16_t(i * 977);
        quovix::TiffLayout layout(width, height, kind == "e8" ? 1 : 2, run.canvas);
        layout.scratch = true;
        status = quovix::writeTiffImage(run, path, weights.data(), layout);
    }
    if (!status.ok())
        fail("cannot write a scratch file: " + status.consoleText());
    std::string bytes = readBytes(path);
    fs::remove(path);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        fail("usage: quovix_fuzz_seeds <source folder> [<camera RAW file>]");
    const std::string source = argv[1];
    gRoot = source + "/fuzz";

    const Image knight = decodeJpeg(source + "/examples/crusader/1.jpeg");
    const Image a = crop(knight, 8, 70, 100, 48, 36);
    const Image b = crop(knight, 8, 70, 170, 48, 36);
    const Image board = crop(decodeJpeg(source + "/examples/focus_pcb/pcb_001.jpg"), 8, 100, 80, 64, 48);
    const Image odd = crop(knight, 16, 30, 40, 37, 23);

    // TIFF layouts the reader accepts.
    struct Named { const char* name; const Image* image; TiffKind kind; };
    TiffKind k;
    std::vector<Named> tiffs;
    k = {}; tiffs.push_back({"rgb8-none.tif", &a, k});
    k = {}; k.compression = COMPRESSION_LZW; tiffs.push_back({"rgb8-lzw.tif", &a, k});
    k = {}; k.compression = COMPRESSION_LZW; k.predictor = PREDICTOR_HORIZONTAL; tiffs.push_back({"rgb8-lzw-predictor.tif", &a, k});
    k = {}; k.compression = COMPRESSION_ADOBE_DEFLATE; tiffs.push_back({"rgb8-deflate.tif", &a, k});
    k = {}; k.compression = COMPRESSION_PACKBITS; k.rowsPerStrip = 5; tiffs.push_back({"rgb8-packbits-strips.tif", &a, k});
    k = {}; k.compression = COMPRESSION_LZW; tiffs.push_back({"rgb8-other.tif", &b, k});
    k = {}; k.compression = COMPRESSION_JPEG; tiffs.push_back({"rgb8-jpeg.tif", &board, k});
    k = {}; k.mode = "wb"; k.compression = COMPRESSION_LZW; tiffs.push_back({"rgb8-big-endian.tif", &a, k});
    k = {}; k.position = true; k.xPosition = 0.1f; k.yPosition = 0.05f; tiffs.push_back({"rgb8-position.tif", &a, k});
    k = {}; k.bits = 16; k.compression = COMPRESSION_LZW; tiffs.push_back({"rgb16-lzw.tif", &a, k});
    k = {}; k.bits = 16; k.compression = COMPRESSION_ADOBE_DEFLATE; k.predictor = PREDICTOR_HORIZONTAL; k.mode = "wb";
    tiffs.push_back({"rgb16-deflate-predictor-big-endian.tif", &b, k});
    const Image greyA = grey(a), rgbaA = withAlpha(a);
    k = {}; tiffs.push_back({"grey8-none.tif", &greyA, k});
    k = {}; k.bits = 16; k.compression = COMPRESSION_PACKBITS; tiffs.push_back({"grey16-packbits.tif", &greyA, k});
    k = {}; k.compression = COMPRESSION_LZW; tiffs.push_back({"rgba8-lzw.tif", &rgbaA, k});
    k = {}; k.bits = 16; tiffs.push_back({"rgba16-none.tif", &rgbaA, k});
    if (TIFFIsCODECConfigured(COMPRESSION_ZSTD)) {
        k = {}; k.compression = COMPRESSION_ZSTD; tiffs.push_back({"rgb8-zstd.tif", &a, k});
    }
    if (TIFFIsCODECConfigured(COMPRESSION_LZMA)) {
        k = {}; k.compression = COMPRESSION_LZMA; tiffs.push_back({"rgb8-lzma.tif", &a, k});
    }
    // Layouts it refuses.
    k = {}; k.tiled = true; tiffs.push_back({"refused-tiled.tif", &a, k});
    k = {}; k.planar = PLANARCONFIG_SEPARATE; tiffs.push_back({"refused-planes.tif", &a, k});
    k = {}; k.photometric = PHOTOMETRIC_PALETTE; tiffs.push_back({"refused-palette.tif", &greyA, k});
    k = {}; k.photometric = PHOTOMETRIC_MINISWHITE; tiffs.push_back({"refused-miniswhite.tif", &greyA, k});
    k = {}; k.bits = 32; k.sampleFormat = SAMPLEFORMAT_IEEEFP; tiffs.push_back({"refused-float.tif", &a, k});
    k = {}; k.bits = 1; k.photometric = PHOTOMETRIC_MINISBLACK; tiffs.push_back({"refused-bilevel.tif", &greyA, k});
    k = {}; k.mode = "w8"; k.compression = COMPRESSION_LZW; tiffs.push_back({"refused-bigtiff.tif", &a, k});
    for (const Named& t : tiffs)
        writeBytes(std::string("corpus/tiff_reader/") + t.name, tiffBytes(*t.image, t.kind));

    // JPEG kinds the reader meets.
    JpegKind j;
    j = {}; writeBytes("corpus/jpeg_reader/baseline-420.jpg", jpegBytes(board, j));
    j = {}; j.quality = 75; j.fullChroma = true; writeBytes("corpus/jpeg_reader/baseline-444.jpg", jpegBytes(a, j));
    j = {}; j.progressive = true; writeBytes("corpus/jpeg_reader/progressive.jpg", jpegBytes(board, j));
    j = {}; j.arithmetic = true; writeBytes("corpus/jpeg_reader/arithmetic.jpg", jpegBytes(a, j));
    j = {}; j.arithmetic = true; j.progressive = true; writeBytes("corpus/jpeg_reader/arithmetic-progressive.jpg", jpegBytes(b, j));
    j = {}; j.restartInterval = 2; j.optimize = true; writeBytes("corpus/jpeg_reader/restart-optimized.jpg", jpegBytes(board, j));
    j = {}; j.quality = 50; writeBytes("corpus/jpeg_reader/odd-size.jpg", jpegBytes(odd, j));
    j = {}; j.app1 = std::string("Exif\0\0", 6) + tiffBytes(odd, TiffKind{}).substr(0, 64);
    writeBytes("corpus/jpeg_reader/exif.jpg", jpegBytes(b, j));
    j = {}; j.space = JCS_GRAYSCALE; writeBytes("corpus/jpeg_reader/grey.jpg", jpegBytes(a, j));
    j = {}; j.space = JCS_CMYK; writeBytes("corpus/jpeg_reader/cmyk.jpg", jpegBytes(a, j));

    // Hostile TIFFs: sizes their data cannot hold, missing strips, positions.
    HandTiff h;
    h = {}; h.width = 16000; h.height = 16000; h.strips = 16; h.rowsPerStrip = 1000; h.storedBytes = 32000;
    writeBytes("reproducers/tiff_reader/huge-strip-outside.tif", handTiff(h));
    // (libtiff recomputes the count of a single uncompressed strip that looks
    // wrong, so the short ones come in fours.)
    h = {}; h.width = 4000; h.height = 4000; h.strips = 4; h.rowsPerStrip = 1000; h.counts.assign(4, 64);
    h.storedBytes = 256;
    writeBytes("reproducers/tiff_reader/huge-none-short.tif", handTiff(h));
    h = {}; h.width = 16000; h.height = 16000; h.strips = 16; h.rowsPerStrip = 1000;
    h.compression = COMPRESSION_LZW; h.counts.assign(16, 200); h.storedBytes = 3200;
    writeBytes("reproducers/tiff_reader/huge-lzw-short.tif", handTiff(h));
    h = {}; h.strips = 4; h.rowsPerStrip = 4; h.counts = {64, 64, 0, 64}; h.storedBytes = 192;
    writeBytes("reproducers/tiff_reader/strip-missing.tif", handTiff(h));
    h = {}; h.strips = 4; h.rowsPerStrip = 4; h.offsetCount = 2; h.storedBytes = 128;
    writeBytes("reproducers/tiff_reader/strips-too-few.tif", handTiff(h));
    h = {}; h.width = 100000; h.height = 100000; h.strips = 16; h.rowsPerStrip = 6250;
    writeBytes("reproducers/tiff_reader/huge-dimensions.tif", handTiff(h));
    k = {}; k.position = true; k.xPosition = 50 / 300.0f; k.yPosition = 50 / 300.0f;
    writeBytes("reproducers/tiff_reader/negative-position.tif", negatePositions(tiffBytes(a, k)));
    k = {}; k.position = true; k.xPosition = float(1 << 29) / 300.0f;
    writeBytes("reproducers/tiff_reader/far-position.tif", tiffBytes(a, k));

    // Hostile JPEGs: declared sizes the scan cannot hold, a cut scan.
    j = {};
    const std::string small = jpegBytes(board, j);
    writeBytes("reproducers/jpeg_reader/huge-declared.jpg", forgeJpegSize(small, 0xC0, 32768, 7720, 8));
    j = {}; j.arithmetic = true;
    writeBytes("reproducers/jpeg_reader/huge-arithmetic.jpg", forgeJpegSize(jpegBytes(board, j), 0xC9, 16000, 16000, 8));
    writeBytes("reproducers/jpeg_reader/truncated.jpg", small.substr(0, small.size() * 2 / 3));
    j = {}; j.progressive = true;
    const std::string progressive = jpegBytes(board, j);
    writeBytes("reproducers/jpeg_reader/progressive-truncated.jpg", progressive.substr(0, progressive.size() / 2));

    // The converter's output: its own header layout with a crop's pixels.
    if (argc > 2) {
        const std::string header8 = converterHeader(argv[2], "-h -w");
        const std::string header16 = converterHeader(argv[2], "-h -w -4");
        const std::string file = converterTiff(header8, board, 8);
        writeBytes("corpus/raw_output/converter-64x48.bin", rawInput(64, 48, false, file));
        writeBytes("corpus/raw_output/converter-half.bin", rawInput(129, 97, true, file));
        writeBytes("corpus/raw_output/libtiff-48x36.bin", rawInput(48, 36, false, tiffBytes(a, TiffKind{})));
        writeBytes("reproducers/raw_output/sixteen-bits.bin", rawInput(64, 48, false, converterTiff(header16, board, 16)));
        writeBytes("reproducers/raw_output/wrong-size.bin", rawInput(60, 48, false, file));
        writeBytes("reproducers/raw_output/half-larger.bin", rawInput(32, 24, true, file));
        writeBytes("reproducers/raw_output/grey.bin", rawInput(48, 36, false, tiffBytes(grey(a), TiffKind{})));
        writeBytes("reproducers/raw_output/short-data.bin", rawInput(64, 48, false, file.substr(0, file.size() - 4000)));
        k = {}; k.tiled = true;
        writeBytes("reproducers/raw_output/tiled.bin", rawInput(48, 36, false, tiffBytes(a, k)));
        writeBytes("reproducers/raw_output/tiled-half.bin", rawInput(96, 72, true, tiffBytes(a, k)));
    }

    // Metadata copy: the output kind (0: 8-bit TIFF, 1: 16-bit TIFF, 2:
    // JPEG), then the first input with its metadata and profile.
    {
        const std::string wide = profileBytes();
        icc_samples::ProfileOptions two;
        two.curveEntries = 11000;  // two JPEG chunks
        const std::string large = profileBytes(two);
        j = {};
        const std::string plainJpeg = jpegBytes(a, j);
        const std::string withProfile = withSegment(plainJpeg, 0xE2, iccChunk(1, 1, wide));
        const std::string jpegExif = withMetadata(withProfile, ".jpg", false, "");
        writeBytes("corpus/metadata_copy/jpeg-exif-profile-to-tiff8.bin", std::string(1, '\0') + jpegExif);
        writeBytes("corpus/metadata_copy/jpeg-exif-profile-to-jpeg.bin", std::string(1, '\2') + jpegExif);
        const std::string twoChunks = withSegment(withSegment(plainJpeg, 0xE2, iccChunk(2, 2, large.substr(65519))), 0xE2,
                                                  iccChunk(1, 2, large.substr(0, 65519)));
        writeBytes("corpus/metadata_copy/jpeg-two-chunk-profile-to-jpeg.bin",
                   std::string(1, '\2') + withMetadata(twoChunks, ".jpg", true, ""));
        const std::string tiffRich = withMetadata(tiffBytes(a, TiffKind{}), ".tif", true, "");
        writeBytes("corpus/metadata_copy/tiff-exif-xmp-iptc-to-tiff16.bin", std::string(1, '\1') + tiffRich);
        writeBytes("corpus/metadata_copy/tiff-exif-xmp-iptc-to-jpeg.bin", std::string(1, '\2') + tiffRich);
        if (argc > 2)
            writeBytes("corpus/metadata_copy/jpeg-camera-maker-note-to-tiff8.bin",
                       std::string(1, '\0') + withMetadata(plainJpeg, ".jpg", false, argv[2]));

        // A profile header declaring another size: only the profile goes.
        std::string damaged = wide;
        damaged[2] = char(damaged[2] + 1);
        writeBytes("reproducers/metadata_copy/damaged-profile-keeps-exif.bin",
                   std::string(1, '\2') + withSegment(withMetadata(plainJpeg, ".jpg", true, ""), 0xE2, iccChunk(1, 1, damaged)));
        writeBytes("reproducers/metadata_copy/profile-chunk-2-of-1.bin",
                   std::string(1, '\0') + withSegment(withMetadata(plainJpeg, ".jpg", false, ""), 0xE2, iccChunk(2, 1, wide)));
        // EXIF pointers into a loop and out of the file.
        const std::string tiffExif = withMetadata(tiffBytes(a, TiffKind{}), ".tif", false, "");
        writeBytes("reproducers/metadata_copy/exif-pointer-loop.bin",
                   std::string(1, '\0') + setIfd0Entry(tiffExif, 0x8769, get32(tiffExif, 4)));
        writeBytes("reproducers/metadata_copy/exif-pointer-outside.bin",
                   std::string(1, '\2') + setIfd0Entry(tiffExif, 0x8769, 0x7FFFFFF0));
        // XMP that is no XML, IPTC blocks that claim more than they hold.
        std::string xmpBroken = tiffRich;
        const size_t packet = xmpBroken.find("<x:xmpmeta");
        if (packet == std::string::npos)
            fail("no XMP packet in the TIFF seed");
        xmpBroken.replace(packet, 10, "<x:xmpmet<");
        writeBytes("reproducers/metadata_copy/xmp-not-xml.bin", std::string(1, '\1') + xmpBroken);
        writeBytes("reproducers/metadata_copy/iptc-overlong.bin",
                   std::string(1, '\2') + withSegment(withMetadata(plainJpeg, ".jpg", false, ""), 0xED,
                                                      std::string("Photoshop 3.0\0008BIM\004\004\0\0\xFF\xFF\xFF\xF0\x1C\x02", 28)));
    }

    // Transform files: the number of inputs - 1, the run's flags (bit 0 a
    // half-size preview, bit 1 verbose), the canvas side - 1, then the file.
    {
        const std::string header = "# quovix alignment transforms: path, then the 3x3 matrix mapping it onto the reference\n";
        const std::string three = header +
                                  "frame0.tif\t1 0 0 0 1 0 0 0 1\n"
                                  "frame1.tif\t0.99984769515639127 -0.017452406437283512 3.25 0.017452406437283512 "
                                  "0.99984769515639127 -1.5 0 0 1\n"
                                  "frame2.tif\t1.002 0.001 -2 -0.001 0.998 4.125 1.0000000000000001e-06 -2e-06 1\n";
        auto transformInput = [](int inputs, int flags, int side, const std::string& text) {
            return std::string(1, char(inputs - 1)) + char(flags) + char(side - 1) + text;
        };
        writeBytes("corpus/transform_file/three-frames", transformInput(3, 2, 200, three));
        writeBytes("corpus/transform_file/three-frames-preview", transformInput(3, 3, 100, three));
        writeBytes("corpus/transform_file/bom-crlf-comments",
                   transformInput(2, 2, 64, "\xEF\xBB\xBF# saved\r\n\r\na b.tif\t1 0 0.5 0 1 -0.5 0 0 1\r\n"
                                            "c.tif\t-1 0 63 0 1 0 0 0 1\r\n"));
        writeBytes("reproducers/transform_file/singular", transformInput(1, 0, 8, "a.tif\t1 2 3 2 4 6 0 0 1\n"));
        writeBytes("reproducers/transform_file/eight-values", transformInput(1, 0, 8, "a.tif\t1 0 0 0 1 0 0 0\n"));
        writeBytes("reproducers/transform_file/not-finite", transformInput(1, 0, 8, "a.tif\t1 0 nan 0 1 0 0 0 1\n"));
        writeBytes("reproducers/transform_file/huge-token",
                   transformInput(1, 0, 8, "a.tif\t1 0 " + std::string(5000, '9') + " 0 1 0 0 0 1\n"));
        writeBytes("reproducers/transform_file/no-tab", transformInput(1, 0, 8, "a.tif 1 0 0 0 1 0 0 0 1\n"));
        writeBytes("reproducers/transform_file/count-differs", transformInput(2, 0, 8, "a.tif\t1 0 0 0 1 0 0 0 1\n"));
        writeBytes("reproducers/transform_file/collapsing-verbose",
                   transformInput(1, 2, 8, "a.tif\t1e300 0 0 0 1e-300 0 1e-308 0 1\n"));
    }

    // Scratch files: bit 0 the second image's file it stands for (0: its
    // Laplacian level, 1: its exposure weights), bit 1 the maximum rule;
    // then the file. The combination reads 40 x 24 pixels.
    {
        using quovix::Compression;
        writeBytes("corpus/scratch_file/level-lzw", std::string(1, '\0') + scratchFile("l", 40, 24, Compression::Lzw));
        writeBytes("corpus/scratch_file/level-deflate-maximum",
                   std::string(1, '\2') + scratchFile("l", 40, 24, Compression::Deflate));
        writeBytes("corpus/scratch_file/weights-none", std::string(1, '\1') + scratchFile("e", 40, 24, Compression::None));
        writeBytes("corpus/scratch_file/weights-packbits-maximum",
                   std::string(1, '\3') + scratchFile("e", 40, 24, Compression::PackBits));
        writeBytes("reproducers/scratch_file/level-wider", std::string(1, '\0') + scratchFile("l", 80, 24, Compression::Lzw));
        writeBytes("reproducers/scratch_file/level-shorter", std::string(1, '\2') + scratchFile("l", 40, 12, Compression::None));
        writeBytes("reproducers/scratch_file/level-in-weight-slot",
                   std::string(1, '\1') + scratchFile("l", 40, 24, Compression::Lzw));
        writeBytes("reproducers/scratch_file/weights-8-bit", std::string(1, '\1') + scratchFile("e8", 40, 24, Compression::None));
        writeBytes("reproducers/scratch_file/weights-in-level-slot",
                   std::string(1, '\0') + scratchFile("e", 40, 24, Compression::Lzw));
        const std::string cut = scratchFile("l", 40, 24, Compression::Lzw);
        writeBytes("reproducers/scratch_file/level-cut", std::string(1, '\0') + cut.substr(0, cut.size() / 2));
    }

    // Command lines, arguments separated by NUL bytes, runs by an empty one.
    writeBytes("corpus/command_line/two-inputs", args({"a.tif", "b.tif"}));
    writeBytes("corpus/command_line/output-three", args({"-o", "out.tif", "a.tif", "b.tif", "c.jpg"}));
    writeBytes("corpus/command_line/levels-verbose", args({"-v", "-l", "4", "-e", "0.5", "a.tif", "d.tif"}));
    writeBytes("corpus/command_line/preview-bracket", args({"--gScale", "0.5", "-b", "1", "a.tif", "b.tif"}));
    writeBytes("corpus/command_line/weights", args({"--wExposure", "0.6", "--wContrast", "0.3", "--wSaturation", "0.1",
                                                    "-p", "1", "a.tif", "g.tif"}));
    writeBytes("corpus/command_line/noise", args({"-c", "-nl", "5", "-nL", "0.5", "-nc", "3", "-nC", "0.2", "-nv", "2",
                                                  "-nw", "2", "-nr", "3", "-nf", "a.tif", "b.tif"}));
    writeBytes("corpus/command_line/constrain", args({"--gConstrain", "20x15", "a.tif", "p.tif"}));
    writeBytes("corpus/command_line/compression", args({"--compression", "DEFLATE", "--scratchCompression", "NONE",
                                                        "--bigtiff", "-a", "16", "a.tif", "d.tif"}));
    writeBytes("corpus/command_line/curve", args({"--cBr", "1", "--cCo", "-1", "--cSh", "0.5", "--cHi", "-0.5", "--cFs",
                                                  "0.2", "--cFh", "0,3", "-k", "2.2", "-t", "0.2", "-C", "a.tif", "b.tif"}));
    writeBytes("corpus/command_line/levels-adjust", args({"--gLevelsBP", "0.1", "--gLevelsWP", "0.9", "--gLevelsWeight",
                                                          "0.5", "--gLevelsFactor", "1.2", "a.tif", "e.tif"}));
    writeBytes("corpus/command_line/jpeg-output", args({"-w", "-z", "1", "-u", "2", "-j", "75", "-o", "out.jpg", "a.tif",
                                                        "b.tif"}));
    writeBytes("corpus/command_line/help", args({"-h"}));
    writeBytes("corpus/command_line/version", args({"-V"}));
    writeBytes("corpus/command_line/missing-value", args({"a.tif", "-o"}));
    writeBytes("corpus/command_line/raw", args({"--raw", "-h -w", "-x", "/usr/bin/dcraw", "photo.cr2"}));
    writeBytes("corpus/command_line/info", args({"--info", "photo.cr2"}));
    writeBytes("corpus/command_line/level-offset-darker", args({"-l", "+2", "-b", "-1", "ab/x.tif", "ba/x.tif"}));
    writeBytes("corpus/command_line/iterations", args({"--wMode", "2", "--wIterations", "1", "--wExposure1", "1",
                                                       "--wMode1", "0", "--wExposure2", "0.5", "a.tif", "b.tif"}));
    writeBytes("corpus/command_line/debug", args({"-d", "-dt", "-dm", "-f", "a.tif", "b.tif"}));
    writeBytes("corpus/command_line/slash-options", args({"/o", "out.tif", "/v", "a.tif", "./b.tif"}));

    writeBytes("reproducers/command_line/output-is-input", args({"-o", "a.tif", "b.tif", "a.tif"}));
    writeBytes("reproducers/command_line/output-dot-slash", args({"-o", "./a.tif", "a.tif", "b.tif"}));
    writeBytes("reproducers/command_line/output-alias", args({"-o", "alias.tif", "b.tif", "a.tif"}));
    writeBytes("reproducers/command_line/pipe-input", args({"-o", "out.tif", "a.tif", "pipe.tif"}));
    writeBytes("reproducers/command_line/folder-input", args({"-o", "out.tif", "folder.jpg", "a.tif"}));
    writeBytes("reproducers/command_line/huge-tiff-input", args({"-o", "out.tif", "a.tif", "huge.tif"}));
    writeBytes("reproducers/command_line/huge-jpeg-input", args({"-o", "out.tif", "a.tif", "huge.jpg"}));
    writeBytes("reproducers/command_line/negative-position-input", args({"-o", "out.tif", "a.tif", "neg.tif"}));
    writeBytes("reproducers/command_line/preview-same-cache-name", args({"--gScale", "0.5", "-b", "1", "ab/x.tif",
                                                                         "ba/x.tif"}));
    writeBytes("reproducers/command_line/scratch-same-name", args({"-b", "-1", "ab/x.tif", "ba/x.tif"}));
    // Two runs one after the other (an empty argument between them): the
    // second must not be served the first one's cache.
    writeBytes("reproducers/command_line/preview-cache-of-another-file",
               args({"--gScale", "0.5", "-b", "1", "ab/x.tif", "", "--gScale", "0.5", "-b", "1", "ba/x.tif"}));
    // A preview factor that resolves to 1: the copies are made again by each
    // run under the same names (found by the fuzzer).
    writeBytes("reproducers/command_line/scaled-runs-at-full-size",
               args({"--gScale", "2", "-b", "1", "ab/x.tif", "", "--gScale", "2", "-b", "1", "ba/x.tif"}));
    return 0;
}

#pragma GCC diagnostic pop
