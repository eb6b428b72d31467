// Replays files through a fuzz target without fuzzing: every file of the
// folders given, in name order. With --expect, the outcome of each file listed
// there must contain the text given for it ("<file><TAB><text>" lines, "\n"
// for a line end); with
// --show, every outcome is printed.
// Exits non-zero when an expectation fails; a crash or sanitizer report ends
// the process on its own.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> readExpectations(const std::string& path, bool& ok)
{
    std::map<std::string, std::string> expected;
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        ok = false;
        return expected;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            std::fprintf(stderr, "%s: no tab in \"%s\"\n", path.c_str(), line.c_str());
            ok = false;
            continue;
        }
        // "\n" in the text stands for a line end (outcomes have one per stage).
        std::string text;
        for (size_t at = tab + 1; at < line.size(); ++at) {
            if (line[at] == '\\' && at + 1 < line.size() && line[at + 1] == 'n') {
                text.push_back('\n');
                ++at;
            } else {
                text.push_back(line[at]);
            }
        }
        expected[line.substr(0, tab)] = text;
    }
    return expected;
}

} // namespace

int main(int argc, char** argv)
{
    bool ok = true;
    bool show = false;
    std::map<std::string, std::string> expected;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--expect" && i + 1 < argc) {
            for (auto& [name, text] : readExpectations(argv[++i], ok))
                expected[name] = text;
            continue;
        }
        if (arg == "--show") {
            show = true;
            continue;
        }
        std::error_code ec;
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(fs::absolute(arg), ec))
            if (entry.is_regular_file())
                found.push_back(entry.path());
        if (ec || found.empty()) {
            std::fprintf(stderr, "no files in %s\n", arg.c_str());
            ok = false;
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }

    size_t checked = 0;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        if (show)
            std::fprintf(stderr, "== %s\n%s", file.filename().c_str(), quovix::fuzz::lastOutcome().c_str());
        const auto want = expected.find(file.filename().string());
        if (want == expected.end())
            continue;
        ++checked;
        const std::string& outcome = quovix::fuzz::lastOutcome();
        if (outcome.find(want->second) == std::string::npos) {
            std::fprintf(stderr, "%s: expected \"%s\", got:\n%s", file.c_str(), want->second.c_str(),
                         outcome.c_str());
            ok = false;
        }
        expected.erase(want);
    }
    for (const auto& [name, text] : expected) {
        std::fprintf(stderr, "%s: listed with \"%s\" but not replayed\n", name.c_str(), text.c_str());
        ok = false;
    }
    std::fprintf(stderr, "%zu files replayed, %zu outcomes checked\n", files.size(), checked);
    return ok ? 0 : 1;
}
