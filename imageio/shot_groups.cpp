#include "imageio/shot_groups.h"

#include "imageio/camera_metadata.h"
#include "imageio/file_format.h"
#include "imageio/tiff_io.h"

// Exiv2 0.27 still hands out std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <jpeglib.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <ctime>

namespace quovix {
namespace {

// Exposures this close (in stops) are the same setting: EXIF values are
// rounded to the camera's thirds, measured ones drift with noise and clipping.
constexpr double kSameExifExposure = 1.0 / 6.0;
constexpr double kSameMeasuredExposure = 0.15;
// The automatic rule's time gap: this many times the median gap of the set,
// and never less than kMinAutoGap seconds.
constexpr double kAutoGapFactor = 3.0;
constexpr double kMinAutoGap = 2.0;

// "YYYY:MM:DD HH:MM:SS" as seconds (the camera's clock; no time zone needed
// to compare neighbours).
bool parseExifTime(const std::string& text, double& seconds)
{
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6)
        return false;
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    seconds = static_cast<double>(timegm(&tm));
    return true;
}

// "123" after the seconds means .123.
double subSeconds(const std::string& text)
{
    double fraction = 0.0, scale = 0.1;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        fraction += (c - '0') * scale;
        scale /= 10.0;
    }
    return fraction;
}

bool positiveValue(const Exiv2::ExifData& exif, const char* key, double& value)
{
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found == exif.end() || found->count() == 0)
        return false;
    value = static_cast<double>(found->toFloat(0));
    return std::isfinite(value) && value > 0.0;
}

void readExif(const std::string& path, CaptureFacts& facts)
{
    initializeMetadataLibrary();
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        facts.width = image->pixelWidth();
        facts.height = image->pixelHeight();
        const Exiv2::ExifData& exif = image->exifData();
        const auto original = exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"));
        double seconds = 0.0;
        if (original != exif.end() && parseExifTime(original->toString(), seconds)) {
            const auto sub = exif.findKey(Exiv2::ExifKey("Exif.Photo.SubSecTimeOriginal"));
            facts.hasExifTime = true;
            facts.exifTime = seconds + (sub != exif.end() ? subSeconds(sub->toString()) : 0.0);
        }
        double shutter = 0.0, aperture = 0.0, iso = 0.0;
        if (positiveValue(exif, "Exif.Photo.ExposureTime", shutter)) {
            if (!positiveValue(exif, "Exif.Photo.FNumber", aperture))
                aperture = 1.0;
            if (!positiveValue(exif, "Exif.Photo.ISOSpeedRatings", iso))
                iso = 100.0;
            facts.hasExposure = true;
            facts.exposure = std::log2(shutter * iso / (aperture * aperture));
        }
    } catch (const std::exception&) {
        // No metadata reader for it, or damaged metadata: the file's own facts decide.
    }
}

struct JpegErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void jpegFail(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

void jpegQuiet(j_common_ptr, int) {}

// Mean of every sample, 0..1, of a JPEG decoded at an eighth of its size.
bool jpegMeanBrightness(const std::string& path, double& mean)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegFail;
    errors.base.emit_message = jpegQuiet;
    std::vector<JSAMPLE> row;
    double sum = 0.0;
    uint64_t count = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 8;
    jpeg_start_decompress(&info);
    row.resize(static_cast<size_t>(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        for (JSAMPLE v : row)
            sum += v;
        count += row.size();
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    mean = count > 0 ? sum / (255.0 * static_cast<double>(count)) : 0.0;
    return count > 0;
}

// Adds the colour samples of `rows` interleaved rows (every fourth pixel).
void addSamples(const uint8_t* data, uint32_t rows, uint32_t width, int samples, int bits, double& sum,
                uint64_t& count)
{
    const int colours = std::min(samples, 3);
    const size_t rowSamples = static_cast<size_t>(width) * static_cast<size_t>(samples);
    for (uint32_t y = 0; y < rows; ++y) {
        for (uint32_t x = 0; x < width; x += 4) {
            for (int c = 0; c < colours; ++c) {
                const size_t i = y * rowSamples + static_cast<size_t>(x) * samples + static_cast<size_t>(c);
                sum += bits == 8 ? data[i] : reinterpret_cast<const uint16_t*>(data)[i];
                ++count;
            }
        }
    }
}

// Mean of the colour samples, 0..1, of an interleaved, striped 8- or 16-bit
// TIFF, from about 32 strips spread over the image: enough for an exposure,
// at a fraction of decoding it all.
bool tiffMeanBrightness(const std::string& path, double& mean)
{
    constexpr uint32_t kSampledStrips = 32;
    TIFF* tiff = openTiffSilently(path);  // an unmeasurable file just has no measured exposure
    bool ok = false;
    if (tiff != nullptr) {
        uint16_t bits = 0, samples = 1, planar = PLANARCONFIG_CONTIG;
        uint32_t width = 0, height = 0, rowsPerStrip = 0;
        TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        const tmsize_t rowBytes = TIFFScanlineSize(tiff);
        if ((bits == 8 || bits == 16) && planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(tiff) && width > 0 &&
            height > 0 && samples >= 1 && rowBytes > 0 && rowsPerStrip > 0) {
            rowsPerStrip = std::min(rowsPerStrip, height);
            const uint32_t strips = TIFFNumberOfStrips(tiff);
            const uint32_t step = std::max<uint32_t>(1, strips / kSampledStrips);
            std::vector<uint8_t> strip(static_cast<size_t>(rowBytes) * rowsPerStrip);
            double sum = 0.0;
            uint64_t count = 0;
            ok = true;
            for (uint32_t s = 0; s < strips && ok; s += step) {
                const tmsize_t got = TIFFReadEncodedStrip(tiff, s, strip.data(), static_cast<tmsize_t>(strip.size()));
                ok = got > 0;
                if (ok)
                    addSamples(strip.data(), static_cast<uint32_t>(got / rowBytes), width, samples, bits, sum, count);
            }
            mean = count > 0 ? sum / ((bits == 8 ? 255.0 : 65535.0) * static_cast<double>(count)) : 0.0;
            ok = ok && count > 0;
        }
        TIFFClose(tiff);
    }
    return ok;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    return values[middle];
}

std::string secondsText(double seconds)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// The capture times the time rules compare: EXIF times when every file has
// one (a camera clock and copied files' modification times do not mix),
// otherwise modification times.
std::vector<double> captureTimes(const std::vector<CaptureFacts>& facts)
{
    const bool exif = std::all_of(facts.begin(), facts.end(), [](const CaptureFacts& f) { return f.hasExifTime; });
    std::vector<double> times;
    for (const CaptureFacts& f : facts)
        times.push_back(exif ? f.exifTime : f.fileTime);
    return times;
}

bool sameExposure(const CaptureFacts& a, const CaptureFacts& b)
{
    if (!a.hasExposure || !b.hasExposure || a.exposureMeasured != b.exposureMeasured)
        return false;
    const double tolerance = a.exposureMeasured ? kSameMeasuredExposure : kSameExifExposure;
    return std::fabs(a.exposure - b.exposure) <= tolerance;
}

// Splits [first, first + count) where the first frame's exposure comes back
// after another exposure.
// A span of one exposure throughout is a focus stack and stays whole, as does
// a span where an exposure is unknown.
void splitByExposure(const std::vector<CaptureFacts>& facts, const GroupSpan& span, std::vector<GroupSpan>& out)
{
    const size_t end = span.first + span.count;
    bool varies = false, known = true;
    for (size_t i = span.first; i < end; ++i) {
        known = known && facts[i].hasExposure;
        varies = varies || !sameExposure(facts[i], facts[span.first]);
    }
    if (!known || !varies) {
        out.push_back(span);
        return;
    }
    size_t start = span.first;
    for (size_t i = span.first + 1; i < end; ++i) {
        // A bracket holds two exposures at least: the frame straight after
        // the start repeating it is a second shot, not a new sequence.
        if (i - start >= 2 && sameExposure(facts[i], facts[start])) {
            out.push_back({start, i - start, "exposure repeats"});
            start = i;
        }
    }
    out.push_back({start, end - start, span.closedBy});
}

// Splits all files where neighbours are more than `gap` seconds apart.
std::vector<GroupSpan> splitByTime(const std::vector<double>& times, double gap)
{
    std::vector<GroupSpan> spans;
    size_t start = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        const double apart = std::fabs(times[i] - times[i - 1]);
        if (apart > gap) {
            spans.push_back({start, i - start, "time gap of " + secondsText(apart) + " s"});
            start = i;
        }
    }
    if (!times.empty())
        spans.push_back({start, times.size() - start, "last file"});
    return spans;
}

} // namespace

CaptureFacts readCaptureFacts(const std::string& path, bool measure)
{
    CaptureFacts facts;
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) {
        facts.hasFileTime = true;
        facts.fileTime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
    }
    readExif(path, facts);
    if (!facts.hasExposure && measure) {
        FileFormat format = FileFormat::Unknown;
        double mean = 0.0;
        const bool measured = detectFormat(path, format).ok() &&
                              ((format == FileFormat::Jpeg && jpegMeanBrightness(path, mean)) ||
                               (format == FileFormat::Tiff && tiffMeanBrightness(path, mean)));
        if (measured) {
            facts.hasExposure = true;
            facts.exposureMeasured = true;
            facts.exposure = std::log2(std::max(mean, 1e-4));
        }
    }
    return facts;
}

std::vector<GroupSpan> groupByFacts(const std::vector<CaptureFacts>& facts, const GroupingParams& params)
{
    std::vector<GroupSpan> spans;
    if (facts.empty())
        return spans;
    switch (params.rule) {
    case GroupRule::Count: {
        const size_t n = static_cast<size_t>(std::max(params.count, 1));
        for (size_t start = 0; start < facts.size(); start += n) {
            const size_t count = std::min(n, facts.size() - start);
            spans.push_back({start, count, start + count < facts.size() ? std::to_string(n) + " files" : "last file"});
        }
        return spans;
    }
    case GroupRule::Time:
        return splitByTime(captureTimes(facts), params.seconds);
    case GroupRule::Exposure:
        splitByExposure(facts, {0, facts.size(), "last file"}, spans);
        return spans;
    case GroupRule::Auto:
        break;
    }
    const std::vector<double> times = captureTimes(facts);
    std::vector<double> gaps;
    for (size_t i = 1; i < times.size(); ++i)
        gaps.push_back(std::fabs(times[i] - times[i - 1]));
    const double gap = std::max(kAutoGapFactor * median(gaps), kMinAutoGap);
    for (const GroupSpan& span : splitByTime(times, gap))
        splitByExposure(facts, span, spans);
    return spans;
}

std::vector<ShotGroup> groupShots(const std::vector<std::string>& files, const GroupingParams& params)
{
    std::vector<CaptureFacts> facts;
    facts.reserve(files.size());
    // Only the exposure rules look at exposures.
    const bool measure = params.rule == GroupRule::Auto || params.rule == GroupRule::Exposure;
    for (const std::string& file : files)
        facts.push_back(readCaptureFacts(file, measure));
    std::vector<ShotGroup> groups;
    for (const GroupSpan& span : groupByFacts(facts, params)) {
        ShotGroup group;
        group.closedBy = span.closedBy;
        for (size_t i = span.first; i < span.first + span.count; ++i) {
            group.files.push_back(files[i]);
            group.largestFramePixels =
                std::max(group.largestFramePixels, int64_t{facts[i].width} * int64_t{facts[i].height});
        }
        groups.push_back(std::move(group));
    }
    return groups;
}

bool parseGroupRule(std::string_view text, GroupingParams& params)
{
    GroupingParams parsed;
    if (text == "auto") {
        parsed.rule = GroupRule::Auto;
    } else if (text == "exposure") {
        parsed.rule = GroupRule::Exposure;
    } else if (text.substr(0, 5) == "time:") {
        const std::string value(text.substr(5));
        char* end = nullptr;
        parsed.rule = GroupRule::Time;
        parsed.seconds = value.empty() ? -1.0 : std::strtod(value.c_str(), &end);
        if (end == nullptr || *end != '\0' || !std::isfinite(parsed.seconds) || parsed.seconds < 0.0)
            return false;
    } else {
        int32_t count = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (error != std::errc() || end != text.data() + text.size() || count < 1)
            return false;
        parsed.rule = GroupRule::Count;
        parsed.count = count;
    }
    params = parsed;
    return true;
}

} // namespace quovix
