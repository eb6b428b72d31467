// What a user gets besides the program: the manual page, the install rules
// that put both where a shell and man(1) find them, and the demo's samples.
#include "app/command_line.h"
#include "support/console.h"
#include "image_fixture.h"
#include "test_util.h"

#include "quovix/version.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ShellResult {
    int exitCode = -1;
    std::string output;
};

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// Runs a shell command line; its standard output is captured (redirect inside
// the command line to capture standard error instead).
ShellResult runShell(const std::string& command)
{
    ShellResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string manPagePath() { return sourceDir() + "/quovix.1"; }

// An option as written in the page's source: every '-' escaped as "\-",
// followed by something that cannot continue the name.
bool pageNamesOption(const std::string& page, const std::string& option)
{
    std::string escaped;
    for (char c : option)
        escaped += (c == '-') ? std::string("\\-") : std::string(1, c);
    for (size_t at = page.find(escaped); at != std::string::npos; at = page.find(escaped, at + 1)) {
        const size_t end = at + escaped.size();
        if (end == page.size() || !std::isalnum(static_cast<unsigned char>(page[end])))
            return true;
    }
    return false;
}

bool isExecutableFile(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

struct TiffSamples {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t channels = 0;
    std::vector<unsigned char> bytes;  // all scanlines, host order
};

bool readTiffSamples(const std::string& path, TiffSamples& out)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr)
        return false;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &out.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &out.channels);
    const tmsize_t rowBytes = TIFFScanlineSize(tif);
    out.bytes.resize(static_cast<size_t>(rowBytes) * out.height);
    bool ok = rowBytes > 0;
    for (uint32_t y = 0; y < out.height && ok; ++y)
        ok = TIFFReadScanline(tif, out.bytes.data() + static_cast<size_t>(rowBytes) * y, y, 0) == 1;
    TIFFClose(tif);
    return ok;
}

using OptionNames = std::set<std::string>;

// The options -h lists: those that start a line of its text.
OptionNames helpTextOptions()
{
    quovix::Options options;
    initSettingsDefaults(options);
    const std::string usage = captureOutput([&] { printUsage(options); });
    OptionNames listed;
    const std::regex optionAtLineStart(R"(^\s+(--?[A-Za-z][A-Za-z0-9]*))");
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, optionAtLineStart))
            listed.insert(m[1]);
    }
    return listed;
}

// The options of a piece of roff source, every '-' written "\-".
OptionNames roffOptions(const std::string& text)
{
    OptionNames names;
    const std::regex option(R"((\\-)(\\-)?([A-Za-z][A-Za-z0-9]*))");
    for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m)
        names.insert(std::string((*m)[2].matched ? "--" : "-") + (*m)[3].str());
    return names;
}

std::string manPageSection(const std::string& page, const std::string& title)
{
    const size_t start = page.find(".SH " + title + "\n");
    if (start == std::string::npos)
        return std::string();
    const size_t end = page.find("\n.SH ", start + 1);
    return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The options the page's OPTIONS section describes: those of the tag line
// after each .TP.
OptionNames manPageOptions(const std::string& page)
{
    OptionNames listed;
    std::istringstream lines(manPageSection(page, "OPTIONS"));
    bool tag = false;
    for (std::string line; std::getline(lines, line);) {
        if (tag)
            listed.merge(roffOptions(line));
        tag = line == ".TP";
    }
    return listed;
}

// The options the first column of the README's option table names, a
// "[1\|2]" suffix standing for the plain, the 1 and the 2 form.
OptionNames readmeOptions(const std::string& readme)
{
    OptionNames listed;
    const size_t start = readme.find("| Option | Meaning |\n");
    if (start == std::string::npos)
        return listed;
    const size_t end = readme.find("\n\n", start);
    std::istringstream rows(readme.substr(start, end - start));
    const std::regex option(R"((^|[\s`])(--?[A-Za-z][A-Za-z0-9]*)(\[1\\\|2\])?)");
    for (std::string row; std::getline(rows, row);) {
        const std::string first = row.substr(0, row.find(" | ", 2));
        for (std::sregex_iterator m(first.begin(), first.end(), option), stop; m != stop; ++m) {
            listed.insert((*m)[2]);
            if ((*m)[3].matched) {
                listed.insert((*m)[2].str() + "1");
                listed.insert((*m)[2].str() + "2");
            }
        }
    }
    return listed;
}

// Long options only: the short ones of other programs (the RAW converter's)
// appear in the texts too.
OptionNames longOnly(const OptionNames& names)
{
    OptionNames kept;
    for (const std::string& name : names)
        if (name.rfind("--", 0) == 0)
            kept.insert(name);
    return kept;
}

// Long options on the README's command lines ("    quovix ...").
OptionNames readmeCommandLongOptions(const std::string& readme)
{
    OptionNames named;
    const std::regex longOption(R"(\s(--[A-Za-z][A-Za-z0-9]*))");
    std::istringstream lines(readme);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("    quovix ", 0) != 0)
            continue;
        for (std::sregex_iterator m(line.begin(), line.end(), longOption), end; m != end; ++m)
            named.insert((*m)[1]);
    }
    return named;
}

} // namespace

// ---- manual page -------------------------------------------------------------

TEST(ManPage, FormatsWithoutAnyWarning)
{
    if (!programOnPath("groff"))
        GTEST_SKIP() << "groff is not installed (scripts/install-deps.sh installs groff-base)";
    ASSERT_TRUE(fileExists(manPagePath()));
    // -ww turns on every warning; -z formats without output, so standard
    // error holds nothing but the complaints. The default device, and the
    // terminal one man(1) uses.
    for (const char* device : {"", "-Tutf8 "}) {
        ShellResult r = runShell(std::string("groff -ww -man ") + device + "-z " + shellQuote(manPagePath()) +
                                 " 2>&1 >/dev/null");
        EXPECT_EQ(r.exitCode, 0) << device;
        EXPECT_EQ(r.output, "") << device;
    }
}

// Every option the -h text lists has an entry in the page, so the two cannot
// drift apart unnoticed.
TEST(ManPage, DocumentsEveryOptionOfTheHelpText)
{
    const std::string page = readFile(manPagePath());
    ASSERT_FALSE(page.empty());
    const OptionNames listed = helpTextOptions();
    // The help text's groups, at least: output, levels, weights, curve,
    // noise, preview, levels adjustment, converter, diagnostics.
    for (const char* expected : {"-o", "-l", "--wMode1", "--cCo", "-nl", "--gConstrain", "--gLevelsBP", "-x", "-dt"})
        ASSERT_EQ(listed.count(expected), 1u) << "help text parse lost " << expected;
    for (const std::string& option : listed)
        EXPECT_TRUE(pageNamesOption(page, option)) << option << " is missing from quovix.1";
}

// The man page, the README and -h each list every option of the parser's
// table, and none lists an option the table lacks: a renamed or dropped
// option, or a new one left undocumented, fails here. Long options named
// anywhere in the page or on the README's command lines are checked too.
TEST(Docs, ManPageReadmeAndHelpListTheOptionsOfTheParser)
{
    OptionNames table;
    for (const OptionRow& row : optionTable())
        table.insert(row.name);
    const std::string page = readFile(manPagePath());
    const std::string readme = readFile(sourceDir() + "/README.md");
    const struct {
        const char* where;
        OptionNames listed;
        bool complete;  // lists every option
    } docs[] = {
        {"-h", helpTextOptions(), true},
        {"quovix.1 OPTIONS", manPageOptions(page), true},
        {"README.md option table", readmeOptions(readme), true},
        {"quovix.1 long options", longOnly(roffOptions(page)), false},
        {"README.md command lines", readmeCommandLongOptions(readme), false},
    };
    for (const auto& doc : docs) {
        SCOPED_TRACE(doc.where);
        EXPECT_GE(doc.listed.size(), doc.complete ? table.size() : 10u) << "the parse lost the list";
        for (const std::string& name : doc.listed)
            EXPECT_EQ(table.count(name), 1u) << name << " is documented but the parser refuses it";
        if (!doc.complete)
            continue;
        for (const std::string& name : table)
            EXPECT_EQ(doc.listed.count(name), 1u) << name << " is accepted but not documented";
    }
}

TEST(ManPage, ExitStatusesAreThoseOfTheProgram)
{
    const std::string page = readFile(manPagePath());
    const size_t section = page.find(".SH EXIT STATUS");
    ASSERT_NE(section, std::string::npos);
    const std::string exitStatus = page.substr(section, page.find(".SH", section + 1) - section);
    // As the shell sees them: -1 and -100 arrive as 255 and 156.
    for (int code : {kExitOk, kExitFatal, kExitIoError, kExitNoMemory}) {
        const std::string entry = ".B " + std::to_string(code & 0xFF) + "\n";
        EXPECT_NE(exitStatus.find(entry), std::string::npos) << "no entry for exit status " << (code & 0xFF);
    }
}

// The exit statuses the page and the README document are the ones the
// program ends with: each case below is run, its status must be documented
// in both, and every documented status must come out of some case (out of
// memory, which pauses 3 s, is run by the memory tests).
TEST(Docs, ExitStatusesDocumentedAreThoseTheProgramReturns)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    const std::string exitStatus = manPageSection(readFile(manPagePath()), "EXIT STATUS");
    const std::string readme = readFile(sourceDir() + "/README.md");
    const size_t paragraph = readme.find("Exit codes: ");
    ASSERT_NE(paragraph, std::string::npos);
    // Words as a reader sees them, whatever the line breaks.
    const std::string readmeCodes = std::regex_replace(
        readme.substr(paragraph, readme.find("\n\n", paragraph) - paragraph), std::regex("\\s+"), " ");
    std::set<int> documented;
    const std::regex entry(R"(\.TP\n\.B (\d+)\n)");
    for (std::sregex_iterator m(exitStatus.begin(), exitStatus.end(), entry), end; m != end; ++m)
        documented.insert(std::stoi((*m)[1]));
    EXPECT_EQ(documented, (std::set<int>{kExitOk, kExitFatal, kExitIoError & 0xFF, kExitNoMemory & 0xFF}));
    // Interrupts: 128 + the signal number, each named signal with its status.
    const struct {
        int number;
        const char* man;
        const char* readme;
    } signals[] = {{SIGINT, "SIGINT", "Ctrl-C"}, {SIGTERM, "SIGTERM", "SIGTERM"}, {SIGHUP, "SIGHUP", "SIGHUP"}};
    EXPECT_NE(exitStatus.find(".BI \"128 + \" n"), std::string::npos);
    EXPECT_NE(readmeCodes.find("128 + the signal number"), std::string::npos);
    for (const auto& signal : signals) {
        const std::string code = std::to_string(128 + signal.number);
        EXPECT_NE(exitStatus.find(code + " for " + signal.man), std::string::npos) << signal.man;
        EXPECT_NE(readmeCodes.find(code + " for " + signal.readme), std::string::npos) << signal.readme;
        documented.insert(128 + signal.number);
    }
    EXPECT_EQ(kExitInterrupted, 128 + SIGINT);

    TempDir dir;
    const std::string image = dir.file("a.tif");
    ASSERT_TRUE(writeFixtureTiff(image, makeFixture(64, 48, 3, 8)));
    writeFile(dir.file("short.tif"), "II");
    writeFile(dir.file("unknown.tif"), std::string(400, 'z'));
    std::vector<std::string> frames;
    for (int i = 0; i < 3; ++i) {
        frames.push_back(dir.file("big" + std::to_string(i) + ".tif"));
        FixtureImage frame = makeFixture(800, 600, 3, 16);
        for (int y = 0; y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x)
                for (int c = 0; c < 3; ++c)
                    frame.at(y, x, c) = static_cast<uint16_t>((x * 61 + y * 97 + c * 7001) * (i + 1) % 60000);
        ASSERT_TRUE(writeFixtureTiff(frames.back(), frame));
    }
    const std::string out = dir.file("out.tif");
    const struct {
        const char* what;
        std::vector<std::string> args;
        int expected;
        int signal;  // sent once "Analyzing" is printed
    } cases[] = {
        {"a run", {"-o", out, image, image}, kExitOk, 0},
        {"--version", {"--version"}, kExitOk, 0},
        {"no arguments", {}, kExitOk, 0},
        {"a missing input", {"-o", out, dir.file("missing.tif"), image}, kExitFatal, 0},
        {"no input", {"-o", out}, kExitFatal, 0},
        {"a refused option value", {"--alignModel", "sideways", "-o", out, image, image}, kExitFatal, 0},
        {"an option without its value", {image, "-o"}, kExitFatal, 0},
        {"an unsupported output type", {"-o", dir.file("out.gif"), image, image}, kExitFatal, 0},
        {"a missing output folder", {"-o", dir.file("none/out.tif"), image, image}, kExitIoError & 0xFF, 0},
        {"a file too short to be an image", {"-o", out, dir.file("short.tif"), image}, kExitIoError & 0xFF, 0},
        {"an unknown format under an image name", {"-o", out, dir.file("unknown.tif"), image}, kExitIoError & 0xFF, 0},
        {"SIGINT", {"-o", out, frames[0], frames[1], frames[2]}, 128 + SIGINT, SIGINT},
        {"SIGTERM", {"-o", out, frames[0], frames[1], frames[2]}, 128 + SIGTERM, SIGTERM},
        {"SIGHUP", {"-o", out, frames[0], frames[1], frames[2]}, 128 + SIGHUP, SIGHUP},
    };
    std::set<int> returned;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool sent = false;
        const CommandResult r = runQuovixWatched(c.args, dir.path(), {"TMPDIR=" + dir.path()},
                                                 [&](pid_t pid, const std::string& text) {
                                                     if (c.signal != 0 && !sent &&
                                                         text.find("Analyzing") != std::string::npos) {
                                                         kill(pid, c.signal);
                                                         sent = true;
                                                     }
                                                     return true;
                                                 });
        EXPECT_EQ(r.exitCode, c.expected) << r.output;
        EXPECT_EQ(documented.count(r.exitCode), 1u) << r.exitCode << " is not in quovix.1";
        returned.insert(r.exitCode);
    }
    for (int code : documented) {
        EXPECT_TRUE(std::regex_search(readmeCodes, std::regex("\\b" + std::to_string(code) + "\\b")))
            << code << " is in quovix.1 but not in the README";
        EXPECT_TRUE(returned.count(code) == 1 || code == (kExitNoMemory & 0xFF))
            << code << " is documented but no case returns it";
    }
}

// The page names the options whose values out of range are reported and
// reset, and those used as given: each named option is run with such a value
// and must behave as its sentence says, and the two lists are those known
// here (a new check, or one lost, fails until the page says so).
TEST(Docs, ValuesOutOfRangeAreHandledAsThePageSays)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    const std::string page = std::regex_replace(readFile(manPagePath()), std::regex("\n"), " ");
    const size_t start = page.find("Values out of range of ");
    const size_t reset = page.find("are reported and reset", start);
    const size_t given = page.find("The values of ", reset);
    const size_t asGiven = page.find("are used as given", given);
    ASSERT_TRUE(start != std::string::npos && reset != std::string::npos && given != std::string::npos &&
                asGiven != std::string::npos);
    struct Checked {
        const char* value;
        const char* notice;
    };
    const std::map<std::string, Checked> checked = {
        {"-p", {"3", "Invalid iteration count...resetting to 2"}},
        {"--wMode1", {"7", "Invalid laplacian combination mode 1...resetting"}},
        {"--wMode2", {"7", "Invalid laplacian combination mode 2...resetting"}},
        {"--wMode", {"-1", ""}},
        {"-k", {"20", "Invalid Gamma value...resetting"}},
        {"--cBr", {"9", "Invalid exposure curve brightness value...resetting"}},
        {"--cCo", {"-9", "Invalid exposure curve contrast value...resetting"}},
        {"--cSh", {"9", "Invalid exposure curve shadows value...resetting"}},
        {"--cHi", {"9", "Invalid exposure curve highlights value...resetting"}},
        {"--cFs", {"6", "Invalid exposure curve floorShadow value...resetting"}},
        {"--cFh", {"6", "Invalid exposure curve floorHighlight value...resetting"}},
        {"-j", {"200", "Invalid JPEG Quality...resetting"}},
        {"-t", {"3", "Invalid highlight constraint threshold...resetting"}},
        {"--gScale", {"0", "Invalid scale factor...resetting to 1"}},
    };
    const std::map<std::string, const char*> usedAsGiven = {
        {"-e", "-5"},  {"--gLevelsBP", "3"},      {"--gLevelsWP", "-2"}, {"--gLevelsWeight", "4"},
        {"-nl", "7"},  {"--gLevelsFactor", "50"}, {"-nL", "7"},          {"-nv", "9"},
        {"-nc", "7"},  {"-nC", "7"},              {"-nw", "9"},          {"-nr", "40"},
    };
    OptionNames named = roffOptions(page.substr(start, reset - start));
    OptionNames expected;
    for (const auto& [option, c] : checked)
        expected.insert(option);
    EXPECT_EQ(named, expected) << "the options the page says are reset";
    named = roffOptions(page.substr(given, asGiven - given));
    expected.clear();
    for (const auto& [option, value] : usedAsGiven)
        expected.insert(option);
    EXPECT_EQ(named, expected) << "the options the page says are used as given";

    TempDir dir;
    const std::string image = dir.file("a.tif");
    ASSERT_TRUE(writeFixtureTiff(image, makeFixture(32, 24, 3, 8)));
    const std::string out = dir.file("out.tif");
    // Each notice names its value, so one run holds them all; --wMode sets
    // both modes and is run alone.
    std::vector<std::string> args;
    for (const auto& [option, c] : checked)
        if (option != "--wMode")
            args.insert(args.end(), {option, c.value});
    args.insert(args.end(), {"-o", out, image, image});
    CommandResult r = runQuovix(args);
    EXPECT_EQ(r.exitCode, kExitOk) << r.output;
    for (const auto& [option, c] : checked) {
        if (option == "--wMode")
            continue;
        EXPECT_NE(r.output.find(c.notice), std::string::npos) << option << " " << c.value << ":\n" << r.output;
    }
    r = runQuovix({"--wMode", checked.at("--wMode").value, "-o", out, image, image});
    EXPECT_EQ(r.exitCode, kExitOk) << r.output;
    EXPECT_NE(r.output.find(checked.at("--wMode1").notice), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(checked.at("--wMode2").notice), std::string::npos) << r.output;
    // All at once: none of them is reported.
    args.clear();
    for (const auto& [option, value] : usedAsGiven)
        args.insert(args.end(), {option, value});
    args.insert(args.end(), {"-o", out, image, image});
    r = runQuovix(args);
    EXPECT_EQ(r.exitCode, kExitOk) << r.output;
    EXPECT_EQ(r.output.find("Invalid"), std::string::npos) << r.output;
    // A scale above 1 is the full size, without a word.
    r = runQuovix({"--gScale", "5", "-o", dir.file("p.jpg"), image, image});
    EXPECT_EQ(r.exitCode, kExitOk) << r.output;
    EXPECT_EQ(r.output.find("Invalid"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Wrote " + dir.file("p.jpg") + ": 32x24 pixels"), std::string::npos) << r.output;
}

// ---- install rules -----------------------------------------------------------

// Installs this build into a fresh prefix, as `make install PREFIX=...` does,
// and runs the installed program.
TEST(Install, PutsProgramAndManPageUnderPrefix)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    TempDir prefix;
    ShellResult install = runShell(shellQuote(QUOVIX_CMAKE) + " --install " + shellQuote(QUOVIX_BUILD_DIR) +
                                   " --prefix " + shellQuote(prefix.path()) + " 2>&1");
    ASSERT_EQ(install.exitCode, 0) << install.output;

    const std::string program = prefix.file("bin/quovix");
    const std::string manPage = prefix.file("share/man/man1/quovix.1");
    ASSERT_TRUE(isExecutableFile(program)) << install.output;
    ASSERT_TRUE(fileExists(manPage)) << install.output;
    EXPECT_EQ(readFile(manPage), readFile(manPagePath()));

    ShellResult version = runShell(shellQuote(program) + " -V");
    EXPECT_EQ(version.exitCode, 0);
    const std::string line = "\nQuovix " QUOVIX_VERSION "\n";
    EXPECT_NE(version.output.find(line), std::string::npos) << version.output.substr(0, 200);
}

// The installed header, archive and pkg-config file are enough to build the
// library example outside the source tree.
TEST(Install, LibraryBuildsAProgramFromTheInstalledFiles)
{
    if (QUOVIX_SANITIZED)
        GTEST_SKIP() << "the archive of a sanitizer build needs the sanitizer runtimes";
    if (!programOnPath("c++") || !programOnPath("pkg-config"))
        GTEST_SKIP() << "no C++ compiler or pkg-config";
    TempDir prefix;
    ShellResult install = runShell(shellQuote(QUOVIX_CMAKE) + " --install " + shellQuote(QUOVIX_BUILD_DIR) +
                                   " --prefix " + shellQuote(prefix.path()) + " 2>&1");
    ASSERT_EQ(install.exitCode, 0) << install.output;
    ASSERT_TRUE(fileExists(prefix.file("include/quovix/quovix.h")));

    const std::string program = prefix.file("fuse_three");
    const std::string pkgConfig =
        "PKG_CONFIG_PATH=" + shellQuote(prefix.file(QUOVIX_INSTALL_LIBDIR "/pkgconfig")) + " pkg-config ";
    ShellResult build = runShell("c++ -std=c++20 " + shellQuote(sourceDir() + "/examples/library/fuse_three.cpp") +
                                 " -o " + shellQuote(program) + " $(" + pkgConfig + "--cflags --libs quovix) 2>&1");
    ASSERT_EQ(build.exitCode, 0) << build.output;

    // Linked and running: wrong use gets the example's usage line.
    ShellResult run = runShell(shellQuote(program) + " 2>&1");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("usage:"), std::string::npos) << run.output;
    ShellResult version = runShell(pkgConfig + "--modversion quovix");
    EXPECT_EQ(version.output, QUOVIX_VERSION "\n");
}

// The three ways a user installs, each into a temporary folder from this
// build (nothing rebuilt): `make install PREFIX=/usr` staged by a package
// build (DESTDIR), `PREFIX=$HOME/.local` without root, and a staged
// non-standard prefix. Every file lands under its prefix inside the stage,
// the pkg-config file found there resolves its folders inside the stage, and
// the library example compiles, links and runs from them alone.
TEST(Install, EachKindOfInstallBuildsTheExampleThroughPkgConfig)
{
    if (QUOVIX_SANITIZED)
        GTEST_SKIP() << "the archive of a sanitizer build needs the sanitizer runtimes";
    if (!programOnPath("c++") || !programOnPath("pkg-config"))
        GTEST_SKIP() << "no C++ compiler or pkg-config";
    TempDir dir;
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home);
    const struct {
        const char* name;
        std::string destdir;  // empty: none
        std::string prefix;   // as the user types it; $HOME is the shell's
        std::string root;     // where the prefix's files end up
    } kinds[] = {
        {"debian", dir.file("debian"), "/usr", dir.file("debian") + "/usr"},
        {"home", "", "$HOME/.local", home + "/.local"},
        {"staged", dir.file("stage"), "/opt/quovix", dir.file("stage") + "/opt/quovix"},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string env = "HOME=" + shellQuote(home) +
                                (kind.destdir.empty() ? "" : " DESTDIR=" + shellQuote(kind.destdir)) + " ";
        const std::string command =
            shellQuote(QUOVIX_CMAKE) + " --install " + shellQuote(QUOVIX_BUILD_DIR) + " --prefix \"" + kind.prefix + "\"";
        ShellResult install = runShell(env + "sh -c " + shellQuote(command) + " 2>&1");
        ASSERT_EQ(install.exitCode, 0) << install.output;
        // Every file it names lies inside the stage.
        std::istringstream lines(install.output);
        int installed = 0;
        for (std::string line; std::getline(lines, line);) {
            const std::string tag = "-- Installing: ";
            if (line.rfind(tag, 0) != 0)
                continue;
            ++installed;
            EXPECT_EQ(line.compare(tag.size(), kind.root.size(), kind.root), 0) << line;
        }
        // Seven files, and five of the CMake package (configuration, version,
        // targets and their build type, the OpenCV finder).
        EXPECT_EQ(installed, 12) << install.output;
        const std::string libdir = kind.root + "/" QUOVIX_INSTALL_LIBDIR;
        for (const std::string& file :
             {kind.root + "/bin/quovix", kind.root + "/share/man/man1/quovix.1",
              kind.root + "/share/bash-completion/completions/quovix", kind.root + "/include/quovix/quovix.h",
              kind.root + "/include/quovix/version.h", libdir + "/libquovixcore.a", libdir + "/pkgconfig/quovix.pc",
              libdir + "/cmake/quovix/quovixConfig.cmake"})
            EXPECT_TRUE(fileExists(file)) << file;

        const std::string pkgConfig = "PKG_CONFIG_PATH=" + shellQuote(libdir + "/pkgconfig") + " pkg-config ";
        using Folder = std::pair<std::string, std::string>;
        for (const auto& [variable, folder] : {Folder{"includedir", kind.root + "/include"}, Folder{"libdir", libdir}}) {
            ShellResult r = runShell(pkgConfig + "--variable=" + variable + " quovix");
            std::error_code ec;
            EXPECT_EQ(std::filesystem::canonical(r.output.substr(0, r.output.find('\n')), ec),
                      std::filesystem::canonical(folder))
                << variable << " = " << r.output;
        }
        // Compiled once (the headers are the same files in every stage),
        // linked from each stage.
        const std::string object = dir.file("fuse_three.o");
        if (!fileExists(object)) {
            ShellResult compiled = runShell("c++ -std=c++20 -c " +
                                            shellQuote(sourceDir() + "/examples/library/fuse_three.cpp") + " -o " +
                                            shellQuote(object) + " $(" + pkgConfig + "--cflags quovix) 2>&1");
            ASSERT_EQ(compiled.exitCode, 0) << compiled.output;
        }
        const std::string program = dir.file(std::string("fuse_three-") + kind.name);
        ShellResult build = runShell("c++ " + shellQuote(object) + " -o " + shellQuote(program) + " $(" + pkgConfig +
                                     "--libs quovix) 2>&1");
        ASSERT_EQ(build.exitCode, 0) << build.output;
        ShellResult run = runShell(shellQuote(program) + " 2>&1");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.output.find("usage:"), std::string::npos) << run.output;
    }
}

// The pkg-config file finds its prefix from its own place whatever the
// library folder (Debian's multiarch lib/x86_64-linux-gnu, lib64, lib), so
// PREFIX=/usr, $HOME/.local and staged DESTDIR installs all resolve.
TEST(Install, PkgConfigPathsHoldForAnyLibraryFolder)
{
    if (!programOnPath("pkg-config"))
        GTEST_SKIP() << "no pkg-config";
    for (const std::string libdir : {"lib", "lib64", "lib/x86_64-linux-gnu"}) {
        SCOPED_TRACE(libdir);
        TempDir prefix;
        std::filesystem::create_directories(prefix.file("include"));
        std::filesystem::create_directories(prefix.file(libdir + "/pkgconfig"));
        ShellResult written = runShell(
            shellQuote(QUOVIX_CMAKE) + " -DPC_TEMPLATE=" + shellQuote(sourceDir() + "/cmake/quovix.pc.in") +
            " -DPC_OUTPUT=" + shellQuote(prefix.file(libdir + "/pkgconfig/quovix.pc")) + " -DPC_LIBDIR=" + libdir +
            " -DPC_INCLUDEDIR=include -DPC_VERSION=" QUOVIX_VERSION " -DPC_INSTALL_PREFIX=/usr -P " +
            shellQuote(sourceDir() + "/cmake/write_pc.cmake") + " 2>&1");
        ASSERT_EQ(written.exitCode, 0) << written.output;
        const std::string pkgConfig =
            "PKG_CONFIG_PATH=" + shellQuote(prefix.file(libdir + "/pkgconfig")) + " pkg-config --variable=";
        auto resolved = [&](const std::string& variable) {
            ShellResult r = runShell(pkgConfig + variable + " quovix");
            std::string path = r.output.substr(0, r.output.find('\n'));
            std::error_code ec;
            return std::filesystem::canonical(path, ec).string();
        };
        EXPECT_EQ(resolved("includedir"), std::filesystem::canonical(prefix.file("include")).string());
        EXPECT_EQ(resolved("libdir"), std::filesystem::canonical(prefix.file(libdir)).string());
    }
}

// ---- demo samples ------------------------------------------------------------

// The 16-bit bracket in examples/raw_bracket/ is what its committed script
// makes from the committed RAW file: same size, depth and sample values
// (compressed bytes may differ between zlib versions).
TEST(Examples, RawBracketIsWhatItsScriptMakes)
{
    if (!programOnPath("dcraw") || !programOnPath("c++"))
        GTEST_SKIP() << "dcraw or a C++ compiler is missing";
    TempDir made;
    ShellResult r = runShell("sh " + shellQuote(sourceDir() + "/scripts/make-raw-bracket.sh") + " " +
                             shellQuote(made.path()) + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    for (const char* name : {"tower_ev-2.tif", "tower_ev+0.tif", "tower_ev+2.tif"}) {
        TiffSamples committed, fresh;
        ASSERT_TRUE(readTiffSamples(sourceDir() + "/examples/raw_bracket/" + name, committed)) << name;
        ASSERT_TRUE(readTiffSamples(made.file(name), fresh)) << name;
        EXPECT_EQ(committed.width, 1761u) << name;
        EXPECT_EQ(committed.height, 1174u) << name;
        EXPECT_EQ(committed.bits, 16) << name;
        EXPECT_EQ(committed.channels, 3) << name;
        EXPECT_EQ(fresh.width, committed.width) << name;
        EXPECT_EQ(fresh.height, committed.height) << name;
        EXPECT_TRUE(fresh.bytes == committed.bytes) << name << ": sample values differ from the script's";
    }
}
