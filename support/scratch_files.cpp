#include "support/scratch_files.h"

#include "support/console.h"
#include "support/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

namespace {

std::string gCacheFolder;
std::string gRunFolder;
bool gExitHookInstalled = false;

// Source paths that share a name stem and a checksum (folders "d1" and "1d",
// or dates with swapped digits) would share their files and overwrite each
// other's levels. The first path keeps the plain name; each further one gets
// "-<n>" after the checksum. Keyed by naming rule, stem and checksum.
std::map<std::string, std::vector<std::string>> gChecksumOwners;

std::string checksumText(char rule, const std::string& stem, const std::string& sourcePath)
{
    const std::string checksum = std::to_string(pathChecksum(sourcePath));
    std::vector<std::string>& owners = gChecksumOwners[std::string(1, rule) + checksum + "/" + stem];
    size_t index = 0;
    while (index < owners.size() && owners[index] != sourcePath)
        ++index;
    if (index == owners.size())
        owners.push_back(sourcePath);
    return index == 0 ? checksum : checksum + "-" + std::to_string(index);
}

std::string tempRoot()
{
    const char* env = std::getenv("TMPDIR");
    std::string root = (env != nullptr && env[0] != '\0') ? env : "/tmp";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

void removeRunFolderAtExit()
{
    finishRunFolder(gSettings.debugKeep || gSettings.keepGroupResults);
}

} // namespace

int32_t pathChecksum(const std::string& path)
{
    int64_t sum = static_cast<int64_t>(path.size());
    for (char c : path)
        sum += static_cast<signed char>(c);
    return static_cast<int32_t>(sum);
}

std::string baseName(const std::string& path)
{
    // After the last '\', else after the last '/'; but a '/' after the last
    // '\' is a folder separator here, and a name holding it would point into
    // a folder that does not exist.
    size_t cut = path.rfind('\\');
    size_t slash = path.rfind('/');
    if (cut == std::string::npos || (slash != std::string::npos && slash > cut))
        cut = slash;
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

const std::string& cacheFolder()
{
    if (!gCacheFolder.empty())
        return gCacheFolder;
    std::string folder = tempRoot() + "/quovix-" + std::to_string(getuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        std::printf("Cannot create temporary folder %s: %s\n", folder.c_str(), std::strerror(errno));
        fatalError("Temporary folder unavailable", kExitFatal);
    }
    // lstat: a planted symbolic link is refused, not followed.
    struct stat st{};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        std::printf("Temporary folder %s is not a private folder of this user\n", folder.c_str());
        fatalError("Temporary folder unsafe", kExitFatal);
    }
    gCacheFolder = folder;
    return gCacheFolder;
}

bool isInTempFolder(const std::string& path)
{
    std::string prefix = (gCacheFolder.empty() ? tempRoot() + "/quovix-" + std::to_string(getuid()) : gCacheFolder) + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

const std::string& runFolder()
{
    if (!gRunFolder.empty())
        return gRunFolder;
    std::string pattern = cacheFolder() + "/run-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::printf("Cannot create scratch folder in %s: %s\n", cacheFolder().c_str(), std::strerror(errno));
        fatalError("Temporary folder unavailable", kExitFatal);
    }
    gRunFolder = buf.data();
    if (!gExitHookInstalled) {
        std::atexit(removeRunFolderAtExit);
        gExitHookInstalled = true;
    }
    return gRunFolder;
}

void finishRunFolder(bool keepFiles)
{
    if (gRunFolder.empty())
        return;
    std::error_code ec;
    bool empty = std::filesystem::is_empty(gRunFolder, ec);
    if (!ec && !empty && keepFiles) {
        std::printf("Scratch files kept in %s\n", gRunFolder.c_str());
    } else {
        // Without -d or -f nothing in the run folder is wanted after the run,
        // including the leftovers of a run that ended early.
        std::filesystem::remove_all(gRunFolder, ec);
    }
    gRunFolder.clear();
}

void resetScratchFolders()
{
    gCacheFolder.clear();
    gRunFolder.clear();
    gChecksumOwners.clear();
}

std::string scratchName(const std::string& sourcePath, const std::string& tag, int number)
{
    std::string base = baseName(sourcePath);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos)
        base.erase(dot);
    char numberText[16];
    std::snprintf(numberText, sizeof numberText, "%.2d", number);
    return runFolder() + "/" + base + numberText + "_" + tag + "_" + checksumText('s', base, sourcePath) + ".tif";
}

std::string cacheName(const std::string& sourcePath, float scale, float stops)
{
    std::string base = baseName(sourcePath);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos)
        base[dot] = '_';
    float scaled = scale * 10000.0f;
    float shifted = stops * 10000.0f;
    char tail[64];
    // Out-of-range products (absurd -b values) give INT32_MIN, as the
    // processor's own conversion does, without undefined behaviour.
    auto truncated = [](float v) {
        return (v > -2147483649.0f && v < 2147483648.0f) ? static_cast<int>(v) : INT32_MIN;
    };
    std::snprintf(tail, sizeof tail, "_%d_%d_cache.tif", truncated(scaled), truncated(shifted));
    return cacheFolder() + "/" + base + "_" + checksumText('c', base, sourcePath) + tail;
}
