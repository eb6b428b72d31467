// The program: a thin client of the library. It prints the banner, turns the
// arguments into options, runs the fusion with a callback that prints every
// console line as it comes, then prints the final error line and returns the
// exit code.
#include "app/command_line.h"
#include "app/interrupts.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <time.h>

namespace {

const char* platformName()
{
#if defined(__aarch64__)
    return "arm64";
#else
    return "x64";
#endif
}

int64_t clockMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void printToStdout(quovix::MessageKind, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
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
    const int64_t startClock = clockMs();

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
    quovix::Options& options = commandLine.options;
    if (commandLine.quiet)
        options.onMessage = nullptr;
    else
        options.onMessage = printToStdout;
    options.cancel = interrupts.flag();
    if (commandLine.infoGiven)
        return quovix::describeRawFile(options, commandLine.infoFile);

    const quovix::FuseResult result = quovix::fuse(options, commandLine.inputs);
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
        std::printf("%s:  Elapsed time=%.2f secs\n", argv[0], static_cast<double>(clockMs() - startClock) / 1000.0);
    }
    if (!result.keptScratch.empty() && !commandLine.quiet)
        std::printf("Scratch files kept in %s\n", result.keptScratch.c_str());
    std::fflush(stdout);
    return finalCode;
}
