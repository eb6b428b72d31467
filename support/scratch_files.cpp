#include "support/scratch_files.h"

#include "support/console.h"
#include "support/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

std::string gCacheFolder;
std::string gRunFolder;
bool gExitHookInstalled = false;

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
}

std::string scratchName(const std::string& sourcePath, const std::string& tag, int number)
{
    std::string base = baseName(sourcePath);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos)
        base.erase(dot);
    char numberText[16];
    std::snprintf(numberText, sizeof numberText, "%.2d", number);
    return runFolder() + "/" + base + numberText + "_" + tag + "_" + std::to_string(pathChecksum(sourcePath)) + ".tif";
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
    std::snprintf(tail, sizeof tail, "_%d_%d_%d_cache.tif", pathChecksum(sourcePath),
                  static_cast<int>(scaled), static_cast<int>(shifted));
    return cacheFolder() + "/" + base + tail;
}
