#include "app/batch_run.h"

#include "app/environment.h"
#include "app/run_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

// What a folder given to --batch contributes: images, and the RAW formats of
// the cameras the converters read.
const std::set<std::string> kBatchExtensions = {
    "tif", "tiff", "jpg", "jpeg", "png", "dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "raf", "orf",
    "rw2", "pef", "raw", "rwl", "3fr", "erf", "kdc", "mrw", "srw", "x3f", "iiq", "mos", "mef", "dcr"};

// Memory a fusion needs per canvas pixel (measured peak about 13.4 bytes at
// 24 MP, with room for decoding buffers), and what it needs whatever the size.
constexpr int64_t kBatchBytesPerPixel = 16;
constexpr int64_t kBatchBaseBytes = int64_t{96} << 20;
// Assumed for frames whose size the metadata does not give (a 24 MP camera).
constexpr int64_t kUnknownFramePixels = 24'000'000;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string durationText(double seconds)
{
    char text[64];
    if (seconds < 90.0)
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 5400.0)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60.0);
    else
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600.0);
    return text;
}

// Bytes of memory available, from the kernel's own estimate; 0 when unknown.
int64_t availableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    int64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:")
            return kib * 1024;
    }
    return 0;
}

// Groups at once: one per worker, as many as the memory holds for the
// largest group, never more than there are groups.
int32_t defaultJobs(const std::vector<BatchGroup>& groups, int32_t workers)
{
    int64_t pixels = 0;
    for (const BatchGroup& g : groups)
        pixels = std::max(pixels, g.shots.largestFramePixels > 0 ? g.shots.largestFramePixels : kUnknownFramePixels);
    const int64_t perJob = pixels * kBatchBytesPerPixel + kBatchBaseBytes;
    const int64_t memory = availableMemory();
    const int64_t byMemory = memory > 0 ? std::max<int64_t>(1, memory / perJob) : 1;
    const int64_t jobs = std::min<int64_t>({byMemory, workers, static_cast<int64_t>(groups.size())});
    return static_cast<int32_t>(std::max<int64_t>(jobs, 1));
}

// The output exists and is newer than every input.
bool isUpToDate(const BatchGroup& group)
{
    struct stat out{};
    if (stat(group.output.c_str(), &out) != 0 || !S_ISREG(out.st_mode))
        return false;
    for (const std::string& file : group.shots.files) {
        struct stat in{};
        if (stat(file.c_str(), &in) != 0)
            return false;
        if (in.st_mtim.tv_sec > out.st_mtim.tv_sec ||
            (in.st_mtim.tv_sec == out.st_mtim.tv_sec && in.st_mtim.tv_nsec >= out.st_mtim.tv_nsec))
            return false;
    }
    return true;
}

std::string firstLine(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "unknown error" : line;
}

// Progress of the running batch: one line per finished group, updated in
// place on a terminal.
class BatchReport {
public:
    BatchReport(size_t total, bool quiet, bool terminal) : total_(total), quiet_(quiet), terminal_(terminal) {}

    void finished(const BatchGroup& group, const quovix::FuseResult* result, double seconds, bool skipped)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
        std::string line = "[" + std::to_string(done_) + "/" + std::to_string(total_) + "] " + group.output + ": ";
        if (skipped) {
            ++skipped_;
            line += "up to date, skipped";
        } else if (result->ok()) {
            ++fused_;
            line += std::to_string(group.shots.files.size()) + " frames, " + durationText(seconds);
        } else {
            ++failed_;
            // A failure is a whole line on stderr, never overwritten.
            clearLine();
            std::fprintf(stderr, "%sfailed (exit %d): %s\n", line.c_str(), result->exitCode,
                         firstLine(result->error).c_str());
            std::fflush(stderr);
            return;
        }
        const double elapsed = secondsSince(start_);
        if (done_ < total_ && fused_ > 0)
            line += "; about " + durationText(elapsed / static_cast<double>(done_) *
                                              static_cast<double>(total_ - done_)) + " left";
        if (quiet_)
            return;
        if (terminal_) {
            std::fprintf(stderr, "\r\033[K%s", line.c_str());
            pending_ = true;
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fflush(stderr);
    }

    // A warning of a group's fusion, named after its output; shown when quiet.
    void warning(const BatchGroup& group, std::string_view text)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        clearLine();
        std::fprintf(stderr, "%s: %.*s", group.output.c_str(), static_cast<int>(text.size()), text.data());
        std::fflush(stderr);
    }

    // The closing summary; the number of groups that failed.
    size_t summary()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        clearLine();
        if (!quiet_ || failed_ > 0)
            std::fprintf(stderr, "Batch: %zu fused, %zu skipped, %zu failed of %zu groups in %s\n", fused_, skipped_,
                         failed_, total_, durationText(secondsSince(start_)).c_str());
        return failed_;
    }

private:
    void clearLine()
    {
        if (pending_)
            std::fputs("\r\033[K", stderr);
        pending_ = false;
    }

    std::mutex mutex_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    size_t total_;
    bool quiet_;
    bool terminal_;
    bool pending_ = false;
    size_t done_ = 0, fused_ = 0, skipped_ = 0, failed_ = 0;
};

bool writePlanFile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temp = path + ".part-" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            error = "Error: cannot write the plan " + path + "\n";
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    std::error_code renamed;
    fs::rename(temp, path, renamed);
    if (renamed) {
        error = "Error: cannot write the plan " + path + ": " + renamed.message() + "\n";
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

// Checks made before any work; false with `error` set.
bool checkRequest(const CommandLine& commandLine, quovix::GroupingParams& params, std::string& error)
{
    const BatchRequest& batch = commandLine.batch;
    if (batch.folder.empty()) {
        error = "Error: --dryRun, --plan, --jobs and --resume go with --batch folder\n";
        return false;
    }
    if (!commandLine.options.outputPath.empty()) {
        error = "Error: -o cannot be used with --batch: each group's output is named after its first and last file\n";
        return false;
    }
    if (!commandLine.options.alignOnly.empty()) {
        error = "Error: --alignOnly cannot be used with --batch\n";
        return false;
    }
    if (!commandLine.options.depthMapPath.empty()) {
        // Every group would write the same file, each over the one before.
        error = "Error: --depthMap cannot be used with --batch\n";
        return false;
    }
    if (!quovix::parseGroupRule(batch.groupText, params)) {
        error = "Error: --group " + batch.groupText + ": use auto, a number of files, time:SECONDS or exposure\n";
        return false;
    }
    if (batch.jobs < 0) {
        error = "Error: --jobs " + std::to_string(batch.jobs) + ": give 1 or more\n";
        return false;
    }
    return true;
}

// The output folder, made when missing; false with `error` set.
bool prepareFolder(const std::string& folder, std::string& error)
{
    std::error_code made;
    fs::create_directories(folder, made);
    if (made || !fs::is_directory(folder)) {
        error = "Error: cannot use " + folder + " as the batch folder: " +
                (made ? made.message() : std::string("not a folder")) + "\n";
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "Error: cannot write into the batch folder " + folder + ": " + std::strerror(errno) + "\n";
        return false;
    }
    return true;
}

// Fuses every group, `jobs` at once, each with its share of the workers.
size_t fuseGroups(const std::vector<BatchGroup>& groups, const CommandLine& commandLine, int32_t jobs,
                  const std::atomic<bool>* cancel, int& firstFailure)
{
    const quovix::Options& base = commandLine.options;
    const int32_t workers = base.workerCount > 0 ? base.workerCount : workerCountFromEnvironment();
    const int32_t perGroup = std::max(1, workers / jobs);
    BatchReport report(groups.size(), commandLine.quiet, isatty(STDERR_FILENO) == 1);
    std::atomic<size_t> next{0};
    std::vector<int> codes(groups.size(), quovix::kExitOk);
    auto work = [&] {
        for (size_t i = next++; i < groups.size(); i = next++) {
            if (cancel != nullptr && cancel->load()) {
                codes[i] = quovix::kExitInterrupted;
                continue;
            }
            const BatchGroup& group = groups[i];
            if (commandLine.batch.resume && isUpToDate(group)) {
                report.finished(group, nullptr, 0.0, true);
                continue;
            }
            quovix::Options options = base;
            options.workerCount = perGroup;
            options.cancel = cancel;
            options.onProgress = nullptr;
            // A group's console text stays with it: interleaved lines of
            // several fusions would help no one. Its warnings are shown.
            options.onMessage = [&report, &group](quovix::MessageKind kind, std::string_view text) {
                if (kind == quovix::MessageKind::Warning)
                    report.warning(group, text);
            };
            const auto start = std::chrono::steady_clock::now();
            const quovix::FuseResult result = quovix::fuse(options, group.shots.files, group.output);
            codes[i] = result.exitCode;
            if (result.exitCode != quovix::kExitInterrupted)
                report.finished(group, &result, secondsSince(start), false);
        }
    };
    std::vector<std::thread> threads;
    for (int32_t j = 1; j < jobs; ++j) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer groups at once; the caller's thread still runs them all
        }
    }
    work();
    for (std::thread& t : threads)
        t.join();
    firstFailure = quovix::kExitOk;
    for (int code : codes) {
        if (code == quovix::kExitInterrupted)
            firstFailure = code;
    }
    if (firstFailure == quovix::kExitOk) {
        for (int code : codes) {
            if (code != quovix::kExitOk) {
                firstFailure = code;
                break;
            }
        }
    }
    return report.summary();
}

} // namespace

bool expandBatchInputs(const std::vector<std::string>& inputs, std::vector<std::string>& files,
                       std::string& warnings, std::string& error)
{
    for (const std::string& input : inputs) {
        std::error_code failed;
        if (fs::is_directory(input, failed)) {
            std::vector<std::string> found;
            size_t other = 0;
            for (const fs::directory_entry& entry : fs::directory_iterator(input, failed)) {
                const std::string name = entry.path().filename().string();
                if (name.empty() || name[0] == '.' || !entry.is_regular_file(failed))
                    continue;
                if (kBatchExtensions.count(lowerExtension(name)) != 0)
                    found.push_back(entry.path().string());
                else if (!isSidecarName(name))
                    ++other;
            }
            if (failed) {
                error = "Error: cannot list the folder " + input + ": " + failed.message() + "\n";
                return false;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
            if (other > 0)
                warnings += "Warning: " + std::to_string(other) + " files in " + input +
                            " are neither images nor RAW files: skipped\n";
        } else if (isSidecarName(input)) {
            warnings += "Warning: skipping " + input + ": a sidecar file, not an image\n";
        } else if (!fs::exists(input, failed)) {
            error = "Error: Cannot open file: " + input + "\n";
            return false;
        } else {
            files.push_back(input);
        }
    }
    if (files.empty()) {
        error = "Error: no images among the inputs\n";
        return false;
    }
    return true;
}

std::vector<BatchGroup> planBatch(const quovix::Options& options, const std::vector<std::string>& files,
                                  const quovix::GroupingParams& params, const std::string& folder)
{
    std::vector<BatchGroup> groups;
    std::map<std::string, int> taken;
    for (quovix::ShotGroup& shots : quovix::groupShots(files, params)) {
        std::string name = quovix::automaticOutputName(options, shots.files);
        const int seen = ++taken[name];
        if (seen > 1) {
            const size_t dot = name.rfind('.');
            name.insert(dot, "_" + std::to_string(seen));
        }
        groups.push_back({std::move(shots), (fs::path(folder) / name).string()});
    }
    return groups;
}

std::string planText(const std::vector<BatchGroup>& groups)
{
    std::string text;
    for (const BatchGroup& g : groups) {
        text += g.output + ": " + std::to_string(g.shots.files.size()) + " frames, closed by " + g.shots.closedBy + ":";
        for (const std::string& file : g.shots.files)
            text += " " + file;
        text += "\n";
    }
    return text;
}

std::string shellQuoted(const std::string& text)
{
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("+-./:=@_,%", c) != nullptr;
    });
    if (plain)
        return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string planCommands(const std::vector<BatchGroup>& groups, const std::string& program,
                         const std::vector<std::string>& passOn)
{
    std::string text;
    for (const BatchGroup& g : groups) {
        std::string line = shellQuoted(program);
        for (const std::string& arg : passOn)
            line += " " + shellQuoted(arg);
        line += " -o " + shellQuoted(g.output) + " --";
        for (const std::string& file : g.shots.files)
            line += " " + shellQuoted(file);
        text += line + "\n";
    }
    return text;
}

int runBatch(CommandLine& commandLine, const std::string& program, const std::atomic<bool>* cancel)
{
    const BatchRequest& batch = commandLine.batch;
    quovix::GroupingParams params;
    std::string warnings, error;
    std::vector<std::string> files;
    const bool usable = checkRequest(commandLine, params, error) &&
                        expandBatchInputs(commandLine.inputs, files, warnings, error);
    std::fputs(warnings.c_str(), stderr);
    if (!usable) {
        std::fputs(error.c_str(), stderr);
        return quovix::kExitFatal;
    }
    // Absolute names: a plan runs from any folder, on any machine that
    // mounts the same paths.
    std::string folder = batch.folder;
    if (!batch.planFile.empty()) {
        folder = fs::absolute(folder).lexically_normal().string();
        for (std::string& file : files)
            file = fs::absolute(file).lexically_normal().string();
    }
    const std::vector<BatchGroup> groups = planBatch(commandLine.options, files, params, folder);
    if (batch.dryRun)
        std::fputs(planText(groups).c_str(), stdout);
    if (!batch.planFile.empty()) {
        if (!writePlanFile(batch.planFile, planCommands(groups, program, commandLine.passOn), error)) {
            std::fputs(error.c_str(), stderr);
            return quovix::kExitIoError;
        }
        if (!commandLine.quiet)
            std::fprintf(stderr, "Wrote %zu commands to %s\n", groups.size(), batch.planFile.c_str());
    }
    if (batch.dryRun || !batch.planFile.empty())
        return quovix::kExitOk;
    if (!prepareFolder(folder, error)) {
        std::fputs(error.c_str(), stderr);
        return quovix::kExitFatal;
    }
    const int32_t workers = commandLine.options.workerCount > 0 ? commandLine.options.workerCount
                                                                 : workerCountFromEnvironment();
    const int32_t jobs = batch.jobs > 0 ? std::min<int32_t>(batch.jobs, static_cast<int32_t>(groups.size()))
                                        : defaultJobs(groups, workers);
    if (!commandLine.quiet)
        std::fprintf(stderr, "Batch: %zu files in %zu groups, %d at once\n", files.size(), groups.size(), jobs);
    int firstFailure = quovix::kExitOk;
    fuseGroups(groups, commandLine, std::max(jobs, 1), cancel, firstFailure);
    // As a single run says it: the groups it stopped left nothing behind.
    if (firstFailure == quovix::kExitInterrupted)
        std::fputs("Interrupted\n", stdout);
    return firstFailure;
}
