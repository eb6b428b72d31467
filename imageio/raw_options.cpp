#include "imageio/raw_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace quovix {

namespace {

// How many values follow each dcraw option that takes any.
int valueCount(const std::string& option)
{
    static const struct { const char* name; int count; } kTaking[] = {
        {"-s", 1}, {"-n", 1}, {"-k", 1}, {"-S", 1}, {"-b", 1}, {"-t", 1}, {"-r", 4}, {"-C", 2}, {"-H", 1},
        {"-o", 1}, {"-p", 1}, {"-K", 1}, {"-P", 1}, {"-q", 1}, {"-g", 2}, {"-m", 1}, {"-A", 4},
    };
    for (const auto& t : kTaking)
        if (option == t.name)
            return t.count;
    return 0;
}

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

const char kAccepted[] = "-w -a -H n -b f -4 -6 -W -g p s -q n -n t";

Status refuse(const std::string& what)
{
    return fatalError("The LibRaw engine cannot follow the RAW option " + what + " (it accepts " + kAccepted + ")");
}

} // namespace

std::vector<std::string> converterArguments(const std::string& text)
{
    const std::string& given = text.empty() ? std::string("-H 2 -w") : text;
    std::vector<std::string> args;
    size_t i = 0;
    while (i < given.size()) {
        while (i < given.size() && (given[i] == ' ' || given[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < given.size() && given[i] != ' ' && given[i] != '\t')
            ++i;
        if (i > start)
            args.push_back(given.substr(start, i - start));
    }
    return args;
}

int rawOutputBits(const std::string& text)
{
    const std::vector<std::string> args = converterArguments(text);
    int bits = 8;
    for (size_t i = 0; i < args.size(); i += 1 + static_cast<size_t>(valueCount(args[i])))
        if (args[i] == "-4" || args[i] == "-6")
            bits = 16;
    return bits;
}

Status parseLibRawOptions(const std::string& text, LibRawOptions& options)
{
    const std::vector<std::string> args = converterArguments(text);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        static const char* const kFollowed[] = {"-w", "-a", "-H", "-b", "-4", "-6", "-W", "-g", "-q", "-n"};
        bool followed = false;
        for (const char* name : kFollowed)
            followed = followed || option == name;
        if (!followed)
            return refuse(option);
        const int count = valueCount(option);
        double values[2] = {0.0, 0.0};
        for (int k = 0; k < count; ++k) {
            if (i + 1 >= args.size() || !parseNumber(args[i + 1], values[k]))
                return refuse(option + (i + 1 < args.size() ? " " + args[i + 1] : std::string()) +
                              ": a number is missing");
            ++i;
        }
        if (option == "-w") {
            options.cameraWhiteBalance = true;
        } else if (option == "-a") {
            options.autoWhiteBalance = true;
        } else if (option == "-H") {
            if (values[0] != std::floor(values[0]) || values[0] < 0 || values[0] > 9)
                return refuse("-H " + args[i] + ": the mode is 0 to 9");
            options.highlightMode = static_cast<int>(values[0]);
        } else if (option == "-b") {
            if (!(values[0] > 0))
                return refuse("-b " + args[i] + ": the brightness is above 0");
        } else if (option == "-4") {
            options.outputBits = 16;
            options.gammaPower = 1.0;
            options.gammaSlope = 1.0;
            options.noAutoBrightness = true;
        } else if (option == "-6") {
            options.outputBits = 16;
        } else if (option == "-W") {
            options.noAutoBrightness = true;
        } else if (option == "-g") {
            if (!(values[0] > 0) || values[1] < 0)
                return refuse("-g " + args[i - 1] + " " + args[i] + ": the power is above 0, the slope 0 or more");
            options.gammaPower = 1.0 / values[0];
            options.gammaSlope = values[1];
        } else if (option == "-q") {
            if (values[0] != std::floor(values[0]) || values[0] < 0 || values[0] > 3)
                return refuse("-q " + args[i] + ": the quality is 0 to 3");
            options.quality = static_cast<int>(values[0]);
        } else {  // -n
            if (values[0] < 0)
                return refuse("-n " + args[i] + ": the threshold is 0 or more");
            options.noiseThreshold = static_cast<float>(values[0]);
        }
    }
    return Status();
}

} // namespace quovix
