#include "fuzz_support.h"

#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace quovix::fuzz {

namespace {

std::string gOutcome;

void removePrivateFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(privateFolder(), ec);
}

std::string makePrivateFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quovix-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::perror("quovix fuzz: mkdtemp");
        std::abort();
    }
    const std::string folder = buffer.data();
    mkdir((folder + "/tmp").c_str(), 0700);
    mkdir((folder + "/in").c_str(), 0700);
    // libtiff's messages about broken files and the program's printed lines
    // (usage, version) would only slow the fuzzer down.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    // A debug log named by the environment would be written outside.
    unsetenv("QVXTRACE");
    return folder;
}

} // namespace

const std::string& privateFolder()
{
    static const std::string folder = [] {
        std::string made = makePrivateFolder();
        return made;
    }();
    static const bool cleanup = (std::atexit(removePrivateFolder), true);
    (void)cleanup;
    return folder;
}

std::string privatePath(const std::string& name)
{
    return privateFolder() + "/" + name;
}

std::string writeInput(const std::string& name, const uint8_t* data, size_t size)
{
    const std::string path = privatePath(name);
    std::remove(path.c_str());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) {
        std::perror("quovix fuzz: cannot write the input file");
        std::abort();
    }
    return path;
}

void clearTemporaryFolder()
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(privatePath("tmp"), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

Options runOptions()
{
    Options options;
    options.tempFolder = privatePath("tmp");
    options.workerCount = 1;
    return options;
}

void resetOutcome()
{
    gOutcome.clear();
}

void noteOutcome(const char* stage, const std::string& text)
{
    gOutcome += stage;
    gOutcome += ": ";
    gOutcome += text;
    if (gOutcome.empty() || gOutcome.back() != '\n')
        gOutcome += '\n';
}

void noteOutcome(const char* stage, const Status& status)
{
    noteOutcome(stage, status.ok() ? std::string("ok") : status.consoleText());
}

const std::string& lastOutcome()
{
    return gOutcome;
}

} // namespace quovix::fuzz
