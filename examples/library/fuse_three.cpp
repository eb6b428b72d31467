// Fuses three exposures through the library, printing its progress lines.
//
//   quovix_example out.tif dark.tif mid.tif bright.tif
#include <quovix/quovix.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s output input1 input2 input3\n", argv[0]);
        return 2;
    }
    quovix::initialize();
    quovix::Options options;
    options.verbosity = 1;
    // The library reads no environment variable: a program passes on what it
    // wants to honour.
    if (const char* temp = std::getenv("TMPDIR"))
        options.tempFolder = temp;
    options.onMessage = [](quovix::MessageKind, std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    };

    const quovix::FuseResult result = quovix::fuse(options, {argv[2], argv[3], argv[4]}, argv[1]);
    if (!result.ok()) {
        std::fprintf(stderr, "%s: fusion failed (%d): %s\n", argv[0], result.exitCode, result.error.c_str());
        return 1;
    }
    std::printf("%s written\n", result.outputPath.c_str());
    return 0;
}
