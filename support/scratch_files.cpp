#include "support/scratch_files.h"

#include "support/process_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace quovix {

namespace {

std::string tempRootFrom(const std::string& given)
{
    std::string root = given.empty() ? "/tmp" : given;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// Beside each run folder, while its run lasts, a file of this suffix records
// the owner: "<pid> <host>". A kept folder (-d, -f) loses it, so only the
// folders of runs that ended without cleaning up have one.
constexpr const char* kOwnerSuffix = ".owner";

std::string ownerRecord()
{
    return std::to_string(getpid()) + " " + hostName() + " " + pidNamespace() + "\n";
}

// True when the folder's owner file names a process of this host that no
// longer exists. Anything unreadable or unexpected counts as alive.
bool ownerIsGone(const std::string& folder)
{
    const int fd = ::open((folder + kOwnerSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[300] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (pid <= 0 || pid > INT_MAX || end == text || *end != ' ')
        return false;
    std::string host(end + 1);
    if (!host.empty() && host.back() == '\n')
        host.pop_back();
    const size_t space = host.find(' ');
    const std::string ns = space == std::string::npos ? std::string() : host.substr(space + 1);
    if (space != std::string::npos)
        host.erase(space);
    // Another machine sharing the folder, or another PID namespace, cannot be
    // asked whether the process lives.
    if (host != hostName() || (!ns.empty() && ns != pidNamespace()))
        return false;
    return processGone(pid);
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

ScratchFolders::ScratchFolders(Console& console, const std::string& tempRoot)
    : console_(console), root_(tempRootFrom(tempRoot))
{
}

ScratchFolders::~ScratchFolders()
{
    // A run that was not finished explicitly leaves nothing behind.
    if (!runFolder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(runFolder_, ec);
        std::filesystem::remove(runFolder_ + kOwnerSuffix, ec);
    }
}

std::string ScratchFolders::privateFolderPath() const
{
    return root_ + "/quovix-" + std::to_string(getuid());
}

Status ScratchFolders::ensureCacheFolder()
{
    if (!cacheFolder_.empty())
        return Status();
    std::string folder = privateFolderPath();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        console_.notice("Cannot create temporary folder %s: %s\n", folder.c_str(), std::strerror(errno));
        return fatalError("Temporary folder unavailable").withKind(ErrorKind::Output);
    }
    // lstat: a planted symbolic link is refused, not followed.
    struct stat st{};
    const char* reason = nullptr;
    if (lstat(folder.c_str(), &st) != 0)
        reason = std::strerror(errno);
    else if (S_ISLNK(st.st_mode))
        reason = "a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        reason = "not a folder";
    else if (st.st_uid != getuid())
        reason = "owned by another user";
    else if ((st.st_mode & 077) != 0)
        reason = "open to other users";
    if (reason != nullptr) {
        console_.notice("Temporary folder %s is not a private folder of this user\n", folder.c_str());
        return fatalError("Temporary folder unsafe: " + folder + " (" + reason + ")").withKind(ErrorKind::Output);
    }
    cacheFolder_ = folder;
    return Status();
}

Status ScratchFolders::ensureRunFolder()
{
    if (!runFolder_.empty())
        return Status();
    QVX_TRY(ensureCacheFolder());
    removeAbandonedRunFolders();
    std::string pattern = cacheFolder_ + "/run-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        console_.notice("Cannot create scratch folder in %s: %s\n", cacheFolder_.c_str(), std::strerror(errno));
        return fatalError("Temporary folder unavailable").withKind(ErrorKind::Output);
    }
    runFolder_ = buf.data();
    // The owner record lets a later run remove this folder if the process
    // dies without cleaning up (SIGKILL, a crash, a power cut).
    const std::string record = ownerRecord();
    const std::string owner = runFolder_ + kOwnerSuffix;
    const int fd = ::open(owner.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const bool written = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
        ::close(fd);
        if (!written)
            ::unlink(owner.c_str());
    }
    return Status();
}

int ScratchFolders::removeAbandonedRunFolders()
{
    if (cacheFolder_.empty())
        return 0;
    DIR* dir = opendir(cacheFolder_.c_str());
    if (dir == nullptr)
        return 0;
    std::vector<std::string> abandoned;
    const size_t suffixLength = std::strlen(kOwnerSuffix);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, 4, "run-") != 0 || name.size() <= suffixLength ||
            name.compare(name.size() - suffixLength, suffixLength, kOwnerSuffix) != 0)
            continue;
        const std::string folder = cacheFolder_ + "/" + name.substr(0, name.size() - suffixLength);
        if (folder != runFolder_ && ownerIsGone(folder))
            abandoned.push_back(folder);
    }
    closedir(dir);
    int removed = 0;
    for (const std::string& folder : abandoned) {
        // A link planted under the name is removed itself, never followed.
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        if (!ec) {
            std::filesystem::remove(folder + kOwnerSuffix, ec);
            ++removed;
        }
    }
    return removed;
}

bool ScratchFolders::isInTempFolder(const std::string& path) const
{
    std::string prefix = (cacheFolder_.empty() ? privateFolderPath() : cacheFolder_) + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

std::string ScratchFolders::finish(bool keepFiles)
{
    if (runFolder_.empty())
        return std::string();
    std::string kept;
    std::error_code ec;
    std::filesystem::remove(runFolder_ + kOwnerSuffix, ec);
    bool empty = std::filesystem::is_empty(runFolder_, ec);
    if (!ec && !empty && keepFiles) {
        kept = runFolder_;
    } else {
        // Without -d or -f nothing in the run folder is wanted after the run,
        // including the leftovers of a run that ended early.
        std::filesystem::remove_all(runFolder_, ec);
    }
    runFolder_.clear();
    return kept;
}

std::string ScratchFolders::checksumText(char rule, const std::string& stem, const std::string& sourcePath)
{
    const std::string checksum = std::to_string(pathChecksum(sourcePath));
    std::vector<std::string>& owners = checksumOwners_[std::string(1, rule) + checksum + "/" + stem];
    size_t index = 0;
    while (index < owners.size() && owners[index] != sourcePath)
        ++index;
    if (index == owners.size())
        owners.push_back(sourcePath);
    return index == 0 ? checksum : checksum + "-" + std::to_string(index);
}

std::string ScratchFolders::scratchName(const std::string& sourcePath, const std::string& tag, int number)
{
    std::string base = baseName(sourcePath);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos)
        base.erase(dot);
    char numberText[16];
    std::snprintf(numberText, sizeof numberText, "%.2d", number);
    return runFolder_ + "/" + base + numberText + "_" + tag + "_" + checksumText('s', base, sourcePath) + ".tif";
}

std::string ScratchFolders::cacheName(const std::string& sourcePath, float scale, float stops)
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
    return cacheFolder_ + "/" + base + "_" + checksumText('c', base, sourcePath) + tail;
}

} // namespace quovix
