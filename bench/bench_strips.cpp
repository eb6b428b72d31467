// Times TIFF writing of a 24-megapixel 16-bit RGBA Laplacian level and a
// 16-bit grey weight map, per compression: the scanline writer against the
// parallel strip writer with 1 and 2 workers, with the own LZW encoder and
// with libtiff's ("LZW(lt)"). Checks that the files match.
//
// usage: bench_strips [width height [lzw]]   (default 6000 4000; lzw: encoders alone)
// Files go to a private folder under $TMPDIR.

#include "imageio/jpeg_io.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_strips.h"
#include "support/settings.h"

#include <sys/resource.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of the whole process (all threads), user and system.
double cpuNow()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
    double wall = 0, cpu = 0;
    double busiest = 0;  // processor seconds of the busiest worker thread
};

double threadCpuNow()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The crusader photograph scaled (bilinear) to width x height, as luma and RGB.
struct Scene {
    int width = 0, height = 0;
    std::vector<uint16_t> rgb;  // 8.8 fixed point
};

Scene loadScene(int width, int height)
{
    Scene s;
    s.width = width;
    s.height = height;
    int w = 0, h = 0, comps = 0;
    quovix::Console console;
    // Run from the source tree (as run-bench.sh does) or from its build folder.
    std::string path = "examples/crusader/1.jpeg";
    if (!std::filesystem::exists(path))
        path = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/../" + path;
    if (!quovix::readJpegHeader(console, path, w, h, comps).ok())
        return s;
    std::vector<uint8_t> photo(static_cast<size_t>(w) * h * 3);
    if (!quovix::readJpeg(console, path, quovix::ImageInfo(), photo.data()).ok())
        return s;
    s.rgb.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int64_t fy = static_cast<int64_t>(y) * (h - 1) * 256 / std::max(1, height - 1);
        const int y0 = static_cast<int>(fy >> 8), y1 = std::min(h - 1, y0 + 1), wy = static_cast<int>(fy & 255);
        for (int x = 0; x < width; ++x) {
            const int64_t fx = static_cast<int64_t>(x) * (w - 1) * 256 / std::max(1, width - 1);
            const int x0 = static_cast<int>(fx >> 8), x1 = std::min(w - 1, x0 + 1), wx = static_cast<int>(fx & 255);
            for (int k = 0; k < 3; ++k) {
                auto at = [&](int yy, int xx) { return photo[(static_cast<size_t>(yy) * w + xx) * 3 + k]; };
                const int top = at(y0, x0) * (256 - wx) + at(y0, x1) * wx;
                const int bottom = at(y1, x0) * (256 - wx) + at(y1, x1) * wx;
                s.rgb[(static_cast<size_t>(y) * width + x) * 3 + k] =
                    static_cast<uint16_t>((top * (256 - wy) + bottom * wy) >> 8);
            }
        }
    }
    return s;
}

// Signed Laplacian-like samples (detail of the scene plus noise) with a full
// alpha, stored as the level files store them: colour + 8192 on writing.
std::vector<int16_t> makeLaplacian(const Scene& s)
{
    std::vector<int16_t> lap(static_cast<size_t>(s.width) * s.height * 4);
    std::mt19937 random(7);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const size_t p = static_cast<size_t>(y) * s.width + x;
            for (int k = 0; k < 3; ++k) {
                auto at = [&](int yy, int xx) {
                    yy = std::clamp(yy, 0, s.height - 1);
                    xx = std::clamp(xx, 0, s.width - 1);
                    return static_cast<int>(s.rgb[(static_cast<size_t>(yy) * s.width + xx) * 3 + k]);
                };
                const int detail = 4 * at(y, x) - at(y - 1, x) - at(y + 1, x) - at(y, x - 1) - at(y, x + 1);
                const int noise = static_cast<int>(random() % 33) - 16;
                lap[p * 4 + k] = static_cast<int16_t>(std::clamp(detail / 4 + noise, -8000, 8000));
            }
            lap[p * 4 + 3] = 0x7fff;
        }
    return lap;
}

// An exposure-like weight map: high near mid grey, with noise.
std::vector<uint16_t> makeWeights(const Scene& s)
{
    std::vector<uint16_t> weights(static_cast<size_t>(s.width) * s.height);
    std::mt19937 random(11);
    for (size_t p = 0; p < weights.size(); ++p) {
        const double luma = (0.299 * s.rgb[p * 3] + 0.587 * s.rgb[p * 3 + 1] + 0.114 * s.rgb[p * 3 + 2]) / 65535.0;
        const double w = std::exp(-(luma - 0.5) * (luma - 0.5) / (2 * 0.2 * 0.2));
        weights[p] = static_cast<uint16_t>(std::clamp(w * 65000.0 + (random() % 4), 0.0, 65535.0));
    }
    return weights;
}

// Rows of the source as the file stores them.
using Convert = void (*)(const void* source, int width, uint32_t y0, uint32_t y1, uint8_t* dst);

void convertLaplacian(const void* source, int width, uint32_t y0, uint32_t y1, uint8_t* dst)
{
    const int16_t* src = static_cast<const int16_t*>(source);
    uint16_t* out = reinterpret_cast<uint16_t*>(dst);
    const size_t n = static_cast<size_t>(width) * 4;
    for (uint32_t y = y0; y < y1; ++y, out += n) {
        const int16_t* row = src + y * n;
        for (size_t i = 0; i < n; i += 4) {
            out[i + 0] = static_cast<uint16_t>(row[i + 0] + 0x2000);
            out[i + 1] = static_cast<uint16_t>(row[i + 1] + 0x2000);
            out[i + 2] = static_cast<uint16_t>(row[i + 2] + 0x2000);
            out[i + 3] = static_cast<uint16_t>(row[i + 3]);
        }
    }
}

void convertCopy2(const void* source, int width, uint32_t y0, uint32_t y1, uint8_t* dst)
{
    const size_t n = static_cast<size_t>(width) * 2;
    std::memcpy(dst, static_cast<const uint8_t*>(source) + y0 * n, (y1 - y0) * n);
}

struct Image {
    const char* name;
    const void* source;
    int bytesPerPixel;
    Convert convert;
};

// The program's tag set for a file of that layout and compression.
TIFF* openFile(const std::string& path, int width, int height, int bytesPerPixel, int compression)
{
    quovix::Options options;
    options.compression = static_cast<quovix::Compression>(compression);
    options.workerCount = 1;
    quovix::RunContext run(options);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr)
        return nullptr;
    quovix::writeTiffTags(run, t, quovix::TiffLayout(width, height, bytesPerPixel, quovix::ImageRegion{0, 0, width, height}));
    return t;
}

Timing writeRowByRow(const std::string& path, const Image& image, int width, int height, int compression)
{
    const double start = now(), cpuStart = cpuNow();
    TIFF* t = openFile(path, width, height, image.bytesPerPixel, compression);
    std::vector<uint8_t> row(static_cast<size_t>(width) * image.bytesPerPixel);
    for (int y = 0; y < height; ++y) {
        image.convert(image.source, width, y, y + 1, row.data());
        if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) == -1)
            std::fprintf(stderr, "row writer failed at %d\n", y);
    }
    TIFFClose(t);
    return {now() - start, cpuNow() - cpuStart};
}

Timing writeParallel(const std::string& path, const Image& image, int width, int height, int compression, int workers,
                     quovix::LzwCodec lzw = quovix::LzwCodec::Own)
{
    const double start = now(), cpuStart = cpuNow();
    TIFF* t = openFile(path, width, height, image.bytesPerPixel, compression);
    quovix::StripWriteOptions options;
    options.workers = workers;
    options.lzw = lzw;
    // Each worker's processor time: on a machine shared with other load the
    // wall clock says little, the busiest worker tells what idle cores give.
    std::vector<double> workerCpu(static_cast<size_t>(workers), 0.0);
    options.parallelFor = [&](int count, const std::function<void(int)>& body) {
        quovix::parallelForThreads(count, [&](int index) {
            const double t = threadCpuNow();
            body(index);
            workerCpu[static_cast<size_t>(index)] = threadCpuNow() - t;
        });
    };
    const quovix::RowFiller fill = [&](uint32_t y0, uint32_t y1, uint8_t* dst) {
        image.convert(image.source, width, y0, y1, dst);
    };
    const quovix::StripWriteResult r = quovix::writeStripsParallel(t, fill, options);
    if (r.status != quovix::StripWriteStatus::Written)
        std::fprintf(stderr, "strip writer failed: %s\n", r.error.c_str());
    TIFFClose(t);
    const double total = cpuNow() - cpuStart;
    const double busiest = workers > 1 ? *std::max_element(workerCpu.begin(), workerCpu.end()) : total;
    return {now() - start, total, busiest};
}

// The LZW encoders alone on every strip of the converted image, in this
// thread: MB/s of thread processor time, so other load on the machine
// hardly matters. Returns false when the bytes differ.
bool timeLzwEncoders(const Image& image, int width, int height)
{
    quovix::StripLayout layout;
    layout.width = static_cast<uint32_t>(width);
    layout.height = static_cast<uint32_t>(height);
    layout.bitsPerSample = 16;
    layout.samplesPerPixel = static_cast<uint16_t>(image.bytesPerPixel / 2);
    layout.compression = COMPRESSION_LZW;
    std::vector<uint8_t> rows(layout.rowBytes() * layout.rowsPerStrip);
    double seconds[2] = {0, 0};
    size_t bytes[2] = {0, 0};
    bool same = true;
    quovix::StripEncoder own(layout, quovix::LzwCodec::Own), libtiff(layout, quovix::LzwCodec::Libtiff);
    quovix::EncodedStrip a, b;
    for (uint32_t s = 0; s < layout.stripCount(); ++s) {
        const uint32_t y0 = s * layout.rowsPerStrip;
        image.convert(image.source, width, y0, y0 + layout.rowsInStrip(s), rows.data());
        double t = threadCpuNow();
        libtiff.encode(s, rows.data(), a);
        seconds[0] += threadCpuNow() - t;
        t = threadCpuNow();
        own.encode(s, rows.data(), b);
        seconds[1] += threadCpuNow() - t;
        bytes[0] += a.bytes.size();
        bytes[1] += b.bytes.size();
        same = same && a.bytes == b.bytes;
    }
    const double mb = static_cast<double>(layout.rowBytes()) * height / 1e6;
    std::printf("LZW encoder alone, %-17s libtiff %6.1f MB/s, own %6.1f MB/s, x %.2f, identical %s\n", image.name,
                mb / seconds[0], mb / seconds[1], seconds[0] / seconds[1], same ? "yes" : "NO");
    return same;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

int main(int argc, char** argv)
{
    const int width = argc >= 3 ? std::atoi(argv[1]) : 6000;
    const int height = argc >= 3 ? std::atoi(argv[2]) : 4000;
    TIFFSetWarningHandler(nullptr);
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench_strips_XXXXXX";
    if (mkdtemp(dir.data()) == nullptr)
        return 1;
    const Scene scene = loadScene(width, height);
    if (scene.rgb.empty()) {
        std::fprintf(stderr, "cannot read examples/crusader/1.jpeg\n");
        return 1;
    }
    const std::vector<int16_t> laplacian = makeLaplacian(scene);
    const std::vector<uint16_t> weights = makeWeights(scene);
    const Image images[] = {{"RGBA16 Laplacian", laplacian.data(), 8, convertLaplacian},
                            {"grey16 weights", weights.data(), 2, convertCopy2}};
    struct Codec {
        int code;
        const char* name;
        quovix::LzwCodec lzw;
    };
    const Codec codecs[] = {{COMPRESSION_LZW, "LZW", quovix::LzwCodec::Own},
                            {COMPRESSION_LZW, "LZW(lt)", quovix::LzwCodec::Libtiff},
                            {COMPRESSION_DEFLATE, "DEFLATE", quovix::LzwCodec::Own},
                            {COMPRESSION_PACKBITS, "PACKBITS", quovix::LzwCodec::Own},
                            {COMPRESSION_NONE, "NONE", quovix::LzwCodec::Own}};
    std::printf("%d x %d, %u cores; MB/s of raw image data (1 MB = 1e6 bytes) by the wall clock, processor\n"
                "seconds of all threads (cpu), x = row writer wall / strip writer wall; for 2 workers also the\n"
                "busiest worker's processor seconds (max) and xi = row writer cpu / that, the speed-up on idle cores\n",
                width, height, std::thread::hardware_concurrency());
    std::printf("%-17s %-9s %15s %15s %21s %6s %6s %6s %7s %s\n", "image", "codec", "rows MB/s cpu",
                "1 worker", "2 workers      max", "x(1)", "x(2)", "xi(2)", "size", "identical");
    bool allSame = true;
    for (const Image& image : images)
        allSame = timeLzwEncoders(image, width, height) && allSame;
    if (argc >= 4 && std::string(argv[3]) == "lzw") {
        std::filesystem::remove_all(dir);
        return allSame ? 0 : 1;
    }
    for (const Image& image : images) {
        const double mb = static_cast<double>(width) * height * image.bytesPerPixel / 1e6;
        for (const auto& [code, name, lzw] : codecs) {
            const std::string rowPath = dir + "/rows.tif", p1 = dir + "/p1.tif", p2 = dir + "/p2.tif";
            const Timing tRows = writeRowByRow(rowPath, image, width, height, code);
            const Timing t1 = writeParallel(p1, image, width, height, code, 1, lzw);
            const Timing t2 = writeParallel(p2, image, width, height, code, 2, lzw);
            const std::string reference = slurp(rowPath);
            const bool same = reference == slurp(p1) && reference == slurp(p2);
            allSame = allSame && same;
            std::printf("%-17s %-9s %8.1f %5.2fs %8.1f %5.2fs %8.1f %5.2fs %5.2fs %6.2f %6.2f %6.2f %6.1f%% %s\n",
                        image.name, name, mb / tRows.wall, tRows.cpu, mb / t1.wall, t1.cpu, mb / t2.wall, t2.cpu,
                        t2.busiest, tRows.wall / t1.wall, tRows.wall / t2.wall, tRows.cpu / t2.busiest,
                        100.0 * reference.size() / (mb * 1e6), same ? "yes" : "NO");
            std::fflush(stdout);
        }
    }
    std::filesystem::remove_all(dir);
    return allSame ? 0 : 1;
}
