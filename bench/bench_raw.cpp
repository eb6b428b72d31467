// Conversion time per camera RAW file, dcraw against LibRaw, on the bundled
// Canon file (8 MP): one conversion as a run makes it (classification, decode,
// pixels in memory), and the three conversions of `-b 2` (-2, 0, +2 stops),
// at 8 bits (the defaults) and at 16 ("-6 -w -H 2").
// Runs alternate between the engines; medians are shown. CPU counts the
// dcraw child process too. Usage: bench_raw [runs] (default 3)
#include "analysis/fusion_run.h"
#include "bench/bench_run.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "support/console.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace quovix;

double cpuSeconds()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        total += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                 static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    }
    return total;
}

struct Sample {
    double wall = 0, cpu = 0;
};

// Classifies and converts the file at each of the stops; false on failure.
bool convert(const std::string& path, RawEngine engine, int workers, const std::string& args,
             const std::vector<int>& stops, Sample& sample)
{
    BenchFolder folder;
    Options options = benchOptions(folder, workers);
    options.onMessage = nullptr;
    options.rawEngine = engine;
    options.converterArgs = args;
    FusionRun run(options);
    const int64_t wallStart = clockMs();
    const double cpuStart = cpuSeconds();
    ImageInfo info;
    Status status = queryImageInfo(run, path, info);
    std::vector<uint8_t> pixels;
    if (status.ok())
        pixels.resize(static_cast<size_t>(info.region.width) * info.region.height * info.bytesPerPixel);
    for (size_t i = 0; status.ok() && i < stops.size(); ++i)
        status = prepareInput(run, path, info, pixels.data(), nullptr, stops[i], 1.0f, false);
    sample.wall = static_cast<double>(clockMs() - wallStart) / 1000.0;
    sample.cpu = cpuSeconds() - cpuStart;
    if (!status.ok())
        std::printf("conversion failed: %s", status.consoleText().c_str());
    return status.ok();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string path = QUOVIX_BENCH_SOURCE_DIR "/examples/raw_canon/IMG_5952.CR2";
    struct Engine { const char* name; RawEngine engine; int workers; };
    const Engine engines[] = {{"dcraw", RawEngine::Dcraw, 1}, {"LibRaw, 1 worker", RawEngine::LibRaw, 1},
                              {"LibRaw, 2 workers", RawEngine::LibRaw, 2}};
    struct Job { const char* name; std::vector<int> stops; };
    const Job jobs[] = {{"one conversion", {0}}, {"-b 2 (3 conversions)", {-2, 0, 2}}};
    struct Depth { const char* name; const char* args; };
    const Depth depths[] = {{"8-bit", ""}, {"16-bit", "-6 -w -H 2"}};
    std::printf("Camera RAW conversion, %s, 8-bit: defaults \"-H 2 -w\", 16-bit: \"-6 -w -H 2\", median of %d runs\n",
                path.c_str(), runs);
    for (const Depth& depth : depths)
        for (const Job& job : jobs) {
            std::vector<std::vector<double>> wall(3), cpu(3);
            for (int r = 0; r < runs; ++r)
                for (size_t e = 0; e < 3; ++e) {
                    Sample s;
                    if (!convert(path, engines[e].engine, engines[e].workers, depth.args, job.stops, s))
                        return 1;
                    wall[e].push_back(s.wall);
                    cpu[e].push_back(s.cpu);
                }
            for (size_t e = 0; e < 3; ++e)
                std::printf("%-6s %-22s %-18s wall %6.2f s  cpu %6.2f s\n", depth.name, job.name, engines[e].name,
                            median(wall[e]), median(cpu[e]));
        }
    return 0;
}
