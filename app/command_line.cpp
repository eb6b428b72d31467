// The walk over the arguments, driven by the option table.
#include "app/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using quovix::CombineMode;
using quovix::Options;

// '/' also introduces options; on this platform an absolute path starts with
// it too, so an argument holding a second '/' or naming an existing regular
// file is an input name, not an option.
bool isOption(const char* arg)
{
    if (arg[0] == '-')
        return true;
    if (arg[0] != '/')
        return false;
    if (std::strchr(arg + 1, '/') != nullptr)
        return false;
    struct stat st{};
    return !(stat(arg, &st) == 0 && S_ISREG(st.st_mode));
}

bool isLong(const char* name)
{
    return name[0] == '-' && name[1] == '-';
}

// The row an argument (without any "=value") selects, or null. Rows spelled
// in full win; then the classic rules: a long option found anywhere inside
// the argument in table order, a short option by its second character (and
// its third in the -d and -n families, where plain "-d" is only itself).
const OptionRow* findRow(std::string_view arg)
{
    const auto rows = optionTable();
    for (const OptionRow& row : rows) {
        if (arg == row.name)
            return &row;
    }
    if (arg.size() < 2)
        return nullptr;
    if (arg[1] == '-') {
        for (const OptionRow& row : rows) {
            if (row.classic && isLong(row.name) && arg.find(row.name + 1) != std::string_view::npos)
                return &row;
        }
        return nullptr;
    }
    const char select = arg[1];
    const bool family = select == 'd' || select == 'n';
    for (const OptionRow& row : rows) {
        if (!row.classic || isLong(row.name) || row.name[1] != select)
            continue;
        if (!family)
            return &row;
        if (row.name[2] != '\0' && arg.size() > 2 && row.name[2] == arg[2])
            return &row;
    }
    return nullptr;
}

// Optimal string alignment distance: an adjacent transposition counts one.
size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Temporary state of one walk.
struct Walk {
    int argc = 0;
    char** argv = nullptr;
    int index = 0;  // argument being read
    OptionWalk& option;
};

void warn(const std::string& text)
{
    std::fprintf(stderr, "Warning: %s\n", text.c_str());
}

void warnUnknown(const char* arg)
{
    const std::string name(arg, std::strcspn(arg, "="));
    std::string text = "unknown option " + name + " ignored";
    const std::string near = nearestOption(name);
    if (!near.empty())
        text += " (did you mean " + near + "?)";
    warn(text);
}

// The value of an option is the next argument, whatever it looks like.
// Null (with the walk stopped) when the option stands last.
const char* takeValue(Walk& w)
{
    if (w.index + 1 >= w.argc) {
        w.option.printed += std::string("Missing value for option ") + w.argv[w.index] + "\n";
        w.option.stop = true;
        w.option.exitCode = quovix::kExitFatal;
        return nullptr;
    }
    return w.argv[++w.index];
}

const OptionRow* applyArgument(Walk& w, const char* arg)
{
    // "--name=value": the value travels with the name.
    const char* equals = isLong(arg) ? std::strchr(arg, '=') : nullptr;
    const std::string_view name = equals != nullptr ? std::string_view(arg, equals - arg) : std::string_view(arg);
    const OptionRow* row = findRow(name);
    if (arg[1] == 'n')
        w.option.noiseGiven = true;
    if (row == nullptr) {
        warnUnknown(arg);
        // Unknown noise forms still swallow the next argument, when there is one.
        if (arg[1] == 'n' && w.index + 1 < w.argc)
            ++w.index;
        return nullptr;
    }
    const char* value = nullptr;
    if (row->kind == ValueKind::None) {
        if (equals != nullptr)
            warn(std::string(row->name) + " takes no value; " + (equals + 1) + " ignored");
    } else if (equals != nullptr) {
        value = equals + 1;
    } else {
        value = takeValue(w);
        if (value == nullptr)
            return nullptr;
    }
    row->apply(w.option, value);
    return row;
}

// The same rescaling as the validation, without its message. A sum of 0 or
// NaN has nothing to divide by: it is left for the validation, which reports
// it and restores the iteration's defaults.
void rescaleWeightsSilently(quovix::IterationParams& it)
{
    float sum = it.contrastWeight + it.exposureWeight + it.saturationWeight;
    if (sum == 1.0f || sum == 0.0f || !std::isfinite(sum))
        return;
    it.exposureWeight /= sum;
    it.contrastWeight /= sum;
    it.saturationWeight /= sum;
}

} // namespace

void initSettingsDefaults(Options& s)
{
    s.iterationCount = 2;
    s.iteration1 = quovix::IterationParams{0.0f, 1.0f, 0.0f, CombineMode::Maximum};
    s.iteration2 = quovix::IterationParams{1.0f, 0.0f, 0.0f, CombineMode::Average};
    s.curve = quovix::CurveParams{0.0f, 0.0f, 0.0f, 0.0f, 0.1f, 0.1f};
    s.levelsAdjust = quovix::LevelsParams{false, 0.0f, 1.0f, 0.5f, 1.0f};
    s.converterPath.clear();
}

std::string nearestOption(const std::string& typed)
{
    const std::string key = lowered(typed);
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const OptionRow& row : optionTable()) {
        const std::string name = lowered(row.name);
        size_t distance = editDistance(key, name);
        // A shortened name is near whatever its length.
        if (key.size() > 3 && name.compare(0, key.size(), key) == 0)
            distance = std::min<size_t>(distance, 1);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = row.name;
        }
    }
    // Two characters leave nothing to compare; beyond, a third may differ.
    const size_t allowed = std::max<size_t>(1, typed.size() / 3);
    return typed.size() > 2 && bestDistance <= allowed ? best : std::string();
}

bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode, std::string& printed)
{
    commandLine = CommandLine();
    Options& options = commandLine.options;
    initSettingsDefaults(options);
    if (argc < 2) {
        printed += usageText(options);
        exitCode = quovix::kExitOk;
        return false;
    }

    OptionWalk option{options, commandLine, printed};
    Walk w{argc, argv, 1, option};
    bool optionsEnded = false;
    for (; w.index < argc && !option.stop; ++w.index) {
        const char* arg = argv[w.index];
        if (!optionsEnded && std::strcmp(arg, "--") == 0)
            optionsEnded = true;  // every later argument is an input name
        else if (!optionsEnded && isOption(arg)) {
            // A group's own command repeats the option with its value as typed.
            const int first = w.index;
            const OptionRow* row = applyArgument(w, arg);
            if (row != nullptr && row->group != OptionGroup::Batch)
                commandLine.passOn.insert(commandLine.passOn.end(), argv + first, argv + w.index + 1);
        } else
            commandLine.inputs.push_back(arg);
    }
    if (option.stop) {
        exitCode = option.exitCode;
        return false;
    }
    // Settled once the walk is complete: noise options without -nf/-nb act on
    // the result, and weights are rescaled silently to sum 1.
    if (option.noiseGiven && !options.noise.duringBlend)
        options.noise.atFinalize = true;
    rescaleWeightsSilently(options.iteration1);
    rescaleWeightsSilently(options.iteration2);
    return true;
}

bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode)
{
    std::string printed;
    const bool goesOn = parseCommandLine(argc, argv, commandLine, exitCode, printed);
    std::fwrite(printed.data(), 1, printed.size(), stdout);
    return goesOn;
}
