#include "support/file_ops.h"

#include "support/process_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

namespace quovix {

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa{};
    struct stat sb{};
    const bool hasA = stat(a.c_str(), &sa) == 0;
    const bool hasB = stat(b.c_str(), &sb) == 0;
    if (hasA && hasB)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ea, eb;
    const std::filesystem::path ra = std::filesystem::weakly_canonical(a, ea);
    const std::filesystem::path rb = std::filesystem::weakly_canonical(b, eb);
    return !ea && !eb && ra == rb;
}

bool copyFile(const std::string& source, const std::string& target)
{
    FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr)
        return false;
    FILE* out = std::fopen(target.c_str(), "wb");
    if (out == nullptr) {
        int err = errno;
        std::fclose(in);
        errno = err;
        return false;
    }
    std::vector<char> chunk(1 << 16);
    bool ok = true;
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        if (std::fwrite(chunk.data(), 1, got, out) != got) {
            ok = false;
            break;
        }
    }
    int err = errno;
    if (std::ferror(in))
        ok = false;
    std::fclose(in);
    if (std::fclose(out) != 0)
        ok = false;
    errno = err;
    return ok;
}

bool moveFile(const std::string& source, const std::string& target)
{
    if (std::rename(source.c_str(), target.c_str()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    bool ok = copyFile(source, target);
    int err = errno;
    if (!ok)
        std::remove(target.c_str());
    std::remove(source.c_str());
    errno = err;
    return ok;
}

std::string temporaryOwnerTag()
{
    return std::to_string(getpid()) + "-" + hostTag();
}

namespace {

// The process number of a temporary's name whose owner tag follows `at`
// ("<pid>-<host tag>"), when the tag is of this host and namespace and
// `rest` more characters (hex digits for a ".part-" name) end the name;
// 0 otherwise.
long ownerOfTemporary(const std::string& name, size_t at, size_t rest, bool hexRest)
{
    const char* start = name.c_str() + at;
    char* end = nullptr;
    const long pid = std::strtol(start, &end, 10);
    if (end == start || *end != '-' || pid <= 0)
        return 0;
    const size_t tag = static_cast<size_t>(end - name.c_str()) + 1;
    const std::string host = hostTag();
    if (name.size() != tag + host.size() + rest || name.compare(tag, host.size(), host) != 0)
        return 0;
    for (size_t i = tag + host.size(); hexRest && i < name.size(); ++i) {
        if (std::strchr("0123456789abcdef", name[i]) == nullptr)
            return 0;
    }
    return pid;
}

} // namespace

int removeOrphanedTemporaries(const std::string& folder)
{
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        return 0;
    static const std::string kMeta = ".quovix-meta-";
    std::vector<std::string> orphans;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] != '.')
            continue;
        long pid = 0;
        const size_t part = name.rfind(".part-");
        if (name.compare(0, kMeta.size(), kMeta) == 0)
            pid = ownerOfTemporary(name, kMeta.size(), 6, false);  // mkstemp's six characters
        else if (part != std::string::npos && part > 0)
            pid = ownerOfTemporary(name, part + 6, 8, true);
        if (pid != 0 && processGone(pid))
            orphans.push_back((folder.empty() ? std::string() : folder + "/") + name);
    }
    closedir(dir);
    int removed = 0;
    for (const std::string& path : orphans) {
        // Only this user's regular files: a link or another user's file
        // under such a name is left alone.
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
            ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

std::string reserveTempBeside(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.size() > 200)
        base.resize(200); // room for the suffix within a file name's limit
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".part-%s%08x", temporaryOwnerTag().c_str(), entropy());
        std::string name = folder + "." + base + suffix;
        // Created with the usual mode (umask applies), never through a link.
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}

bool syncFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

bool commitTemp(const std::string& temp, const std::string& target)
{
    if (syncFile(temp) && std::rename(temp.c_str(), target.c_str()) == 0)
        return true;
    int err = errno;
    std::remove(temp.c_str());
    errno = err;
    return false;
}

} // namespace quovix
