// Fuzz target: command lines (arguments separated by NUL bytes, runs by an
// empty argument), each walked by the program's parser and, when the run goes
// on, settled against its inputs as the library does before any analysis.
// Runs one after the other share the temporary folder, as the program's runs
// share their preview caches. They work in a private folder
// laid out with small images (good and hostile ones), a link, a pipe and a
// folder; inputs naming anything outside it are dropped, and no converter
// can be started (empty search path, converter name replaced).
#include "analysis/exposure_curve.h"
#include "analysis/fusion_run.h"
#include "app/command_line.h"
#include "fusion/run_setup.h"
#include "fusion/settings_check.h"
#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#ifndef QUOVIX_FUZZ_DIR
#error "QUOVIX_FUZZ_DIR must name the fuzz folder of the source tree"
#endif

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxArguments = 64;
constexpr size_t kMaxRuns = 4;

// Files of the working folder, copied from the corpora.
struct LaidFile {
    const char* name;
    const char* source;
};
const LaidFile kFiles[] = {
    {"a.tif", "corpus/tiff_reader/rgb8-lzw.tif"},
    {"b.tif", "corpus/tiff_reader/rgb8-deflate.tif"},
    {"c.jpg", "corpus/jpeg_reader/baseline-420.jpg"},
    {"d.tif", "corpus/tiff_reader/rgb16-lzw.tif"},
    {"g.tif", "corpus/tiff_reader/grey8-none.tif"},
    {"e.tif", "corpus/tiff_reader/rgba8-lzw.tif"},
    {"p.tif", "corpus/tiff_reader/rgb8-position.tif"},
    {"ab/x.tif", "corpus/tiff_reader/rgb8-lzw.tif"},
    {"ba/x.tif", "corpus/tiff_reader/rgb8-other.tif"},
    {"huge.tif", "reproducers/tiff_reader/huge-strip-outside.tif"},
    {"neg.tif", "reproducers/tiff_reader/negative-position.tif"},
    {"huge.jpg", "reproducers/jpeg_reader/huge-declared.jpg"},
    {"photo.cr2", "corpus/jpeg_reader/baseline-420.jpg"},
};

const fs::path& workFolder()
{
    static const fs::path folder = [] {
        const fs::path in = quovix::fuzz::privatePath("in");
        for (const LaidFile& f : kFiles) {
            fs::create_directories((in / f.name).parent_path());
            fs::copy_file(fs::path(QUOVIX_FUZZ_DIR) / f.source, in / f.name);
        }
        fs::create_symlink("a.tif", in / "alias.tif");
        mkfifo((in / "pipe.tif").c_str(), 0600);
        fs::create_directory(in / "folder.jpg");
        // An empty folder as the whole search path: no converter is found.
        const std::string nobin = quovix::fuzz::privatePath("nobin");
        fs::create_directory(nobin);
        setenv("PATH", nobin.c_str(), 1);
        return fs::canonical(in);
    }();
    return folder;
}

// The working folder is the current one while an input runs (relative names
// resolve there); the fuzzer's own folder is restored after it.
class InWorkFolder {
public:
    InWorkFolder() : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (previous_ < 0 || chdir(workFolder().c_str()) != 0) {
            std::perror("quovix fuzz: chdir");
            std::abort();
        }
    }
    ~InWorkFolder()
    {
        if (fchdir(previous_) != 0)
            std::abort();
        close(previous_);
    }
    InWorkFolder(const InWorkFolder&) = delete;
    InWorkFolder& operator=(const InWorkFolder&) = delete;

private:
    int previous_;
};

// Inside the working folder (or the folder itself), whether it exists or not.
bool insideWorkFolder(const std::string& name)
{
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::path(name), ec);
    if (ec)
        return false;
    const std::string root = workFolder().string();
    const std::string path = resolved.string();
    return path == root || path.compare(0, root.size() + 1, root + "/") == 0;
}

// What a bracketing copy was made from, and what it held when its run ended.
struct CopyRecord {
    size_t run = 0;
    std::string source;    // the input's content
    std::string content;   // the copy's content
};

std::string contentOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

[[noreturn]] void copyServesTwoInputs(const std::string& copy, const std::string& input)
{
    std::fprintf(stderr, "quovix fuzz: bracketing copy %s serves two different inputs (%s)\n", copy.c_str(),
                 input.c_str());
    std::abort();
}

// Every bracketing copy is made from its own input (a copy made from another
// photograph would be fused in its place): in one run, inputs of different
// content never share a copy; a copy left by an earlier run is used for an
// input of other content only once it has been made again. Ends the process
// otherwise, so the fuzzer reports it. (Runs at the same time are not
// modelled.)
void checkCopiesAreTheirOwn(const quovix::FusionRun& run, size_t runIndex, const std::vector<std::string>& inputs,
                            std::map<std::string, CopyRecord>& copies)
{
    const bool plus = run.settings.plusStops != 0.0f;
    const bool minus = run.settings.minusStops != 0.0f;
    if (!plus && !minus)
        return;
    const size_t perInput = 1 + (plus ? 1 : 0) + (minus ? 1 : 0);
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string source = contentOf(inputs[i]);
        for (size_t k = 0; k < perInput; ++k) {
            const size_t index = i * perInput + k;
            if (index >= static_cast<size_t>(run.images.count()))
                return;
            if (k == (minus ? 1u : 0u))
                continue;  // the input itself
            const std::string copy = run.images[static_cast<int32_t>(index)].path;
            const std::string content = contentOf(copy);
            const auto found = copies.find(copy);
            if (found != copies.end() && found->second.source != source &&
                (found->second.run == runIndex || found->second.content == content))
                copyServesTwoInputs(copy, inputs[i]);
            copies[copy] = CopyRecord{runIndex, source, content};
        }
    }
}

// One command line: walked, and settled when the run goes on. `copies`
// carries the bracketing copies of the runs before it.
void runOnce(std::vector<std::string> arguments, size_t runIndex, std::map<std::string, CopyRecord>& copies)
{
    using namespace quovix;
    std::vector<char*> argv;
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    CommandLine commandLine;
    int exitCode = 0;
    if (!parseCommandLine(static_cast<int>(arguments.size()), argv.data(), commandLine, exitCode)) {
        fuzz::noteOutcome("parse", "ended with exit code " + std::to_string(exitCode));
        return;
    }
    fuzz::noteOutcome("parse", "ok");
    if (commandLine.infoGiven)
        return;  // the converter's description of a file: nothing of ours

    Options options = commandLine.options;
    const Options defaults = fuzz::runOptions();
    options.tempFolder = defaults.tempFolder;
    options.workerCount = defaults.workerCount;
    options.converterPath = fuzz::privatePath("nobin/dcraw");
    std::vector<std::string> inputs;
    for (const std::string& input : commandLine.inputs)
        if (insideWorkFolder(input))
            inputs.push_back(input);

    FusionRun run(options);
    Status status = setupRun(run, inputs);
    fuzz::noteOutcome("setup", status);
    if (status.ok()) {
        checkCopiesAreTheirOwn(run, runIndex, inputs, copies);
        validateSettings(run);
        buildCurveTables(run.settings, run.console, run.curves);
        printSettingsReport(run);
    }
    run.scratch.finish(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    quovix::fuzz::resetOutcome();
    InWorkFolder inWorkFolder;

    // Arguments end at NUL bytes; an empty argument starts the next run.
    std::vector<std::vector<std::string>> runs(1);
    size_t count = 0;
    std::string current;
    auto endArgument = [&] {
        if (current.empty())
            runs.emplace_back();
        else
            runs.back().push_back(current);
        current.clear();
        ++count;
    };
    for (size_t i = 0; i < size && count < kMaxArguments; ++i) {
        if (data[i] == 0)
            endArgument();
        else
            current.push_back(static_cast<char>(data[i]));
    }
    if (!current.empty() && count < kMaxArguments)
        endArgument();

    std::map<std::string, CopyRecord> copies;
    for (size_t r = 0; r < runs.size() && r < kMaxRuns; ++r) {
        runs[r].insert(runs[r].begin(), "quovix");
        runOnce(runs[r], r, copies);
    }
    quovix::fuzz::clearTemporaryFolder();
    return 0;
}
