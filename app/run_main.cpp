// The program: a thin client of the library. It prints the banner, turns the
// arguments into options, runs the fusion with a callback that prints every
// console line as it comes, then prints the final error line and returns the
// exit code.
#include "app/batch_run.h"
#include "app/command_line.h"
#include "app/console_view.h"
#include "app/environment.h"
#include "app/interrupts.h"
#include "app/run_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

const char* platformName()
{
#if defined(__aarch64__)
    return "arm64";
#else
    return "x64";
#endif
}

// Both descriptors lead to one terminal.
bool sameFile(int a, int b)
{
    struct stat sa{}, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

void printBanner()
{
    std::printf("                             %s (%s)\n", quovix::versionString(), platformName());
    std::printf("\n");
}

int runMain(int argc, char** argv)
{
    const InterruptGuard interrupts;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int64_t startClock = monotonicMs();

    // The walk's text waits for the banner, which -q and --version leave out.
    CommandLine commandLine;
    int exitCode = 0;
    std::string walkText;
    const bool goesOn = parseCommandLine(argc, argv, commandLine, exitCode, walkText);
    if (commandLine.showBanner && !commandLine.quiet)
        printBanner();
    std::fwrite(walkText.data(), 1, walkText.size(), stdout);
    if (!goesOn)
        return exitCode;
    takeEnvironment(commandLine.options);
    if (commandLine.batch.wanted()) {
        // A plan's commands run the same program wherever they are started.
        const std::string program = std::strchr(argv[0], '/') != nullptr
                                        ? std::filesystem::absolute(argv[0]).lexically_normal().string()
                                        : std::string(argv[0]);
        const int code = runBatch(commandLine, program, interrupts.flag());
        return code == quovix::kExitInterrupted && interrupts.signalNumber() != 0 ? 128 + interrupts.signalNumber()
                                                                                   : code;
    }
    if (!commandLine.infoGiven) {
        std::string warnings, error;
        const bool settled = settleRequest(commandLine, warnings, error);
        std::fputs(warnings.c_str(), stderr);
        if (!settled) {
            std::fputs(error.c_str(), stderr);
            return quovix::kExitFatal;
        }
    }
    quovix::Options& options = commandLine.options;
    // What --info prints is what was asked for, quiet or not.
    ConsoleView view(commandLine.quiet && !commandLine.infoGiven, isatty(STDERR_FILENO) == 1,
                     isatty(STDOUT_FILENO) == 1 && sameFile(STDOUT_FILENO, STDERR_FILENO));
    options.onMessage = [&view](quovix::MessageKind kind, std::string_view text) { view.message(kind, text); };
    options.onProgress = [&view](std::string_view stage, double fraction) { view.progress(stage, fraction); };
    options.cancel = interrupts.flag();
    if (commandLine.infoGiven)
        return quovix::describeRawFile(options, commandLine.infoFile);

    const quovix::FuseResult result = quovix::fuse(options, commandLine.inputs);
    view.clearProgress();
    // A run stopped by a signal ends as the shell expects: 128 + its number.
    int finalCode = result.exitCode;
    if (finalCode == quovix::kExitInterrupted && interrupts.signalNumber() != 0)
        finalCode = 128 + interrupts.signalNumber();
    if (!result.ok()) {
        std::fputs(result.error.c_str(), stdout);
        // Out of memory: give the message time to be read before the end.
        if (result.exitCode == quovix::kExitNoMemory)
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    } else if (options.showTiming && !commandLine.quiet) {
        std::printf("%s:  Elapsed time=%.2f secs\n", argv[0], static_cast<double>(monotonicMs() - startClock) / 1000.0);
    }
    if (!result.keptScratch.empty() && !commandLine.quiet)
        std::printf("Scratch files kept in %s\n", result.keptScratch.c_str());
    std::fflush(stdout);
    if (result.ok() && result.bitsPerSample > 0 && !commandLine.quiet) {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(result.outputPath, error);
        const double seconds = static_cast<double>(monotonicMs() - startClock) / 1000.0;
        const std::string line = summaryLine(result, error ? 0 : static_cast<int64_t>(bytes), seconds);
        std::fputs(line.c_str(), stderr);
    }
    return finalCode;
}
