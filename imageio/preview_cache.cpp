#include "imageio/preview_cache.h"

#include "imageio/file_format.h"
#include "imageio/raw_engine.h"
#include "support/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quovix {

namespace {

std::string hexFloat(float v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%a", static_cast<double>(v));
    return text;
}

// FNV-1a over the first and last 64 KB of the file: a rewrite in place that
// keeps size and modification time (a restored mtime) still changes the
// identity, at the cost of two small reads. 0 when the file cannot be read.
uint64_t contentCheck(const std::string& path, int64_t size)
{
    constexpr int64_t kPart = 65536;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    uint64_t hash = 1469598103934665603ull;
    std::vector<unsigned char> buffer(static_cast<size_t>(kPart));
    const int64_t tail = size > 2 * kPart ? size - kPart : std::min(size, kPart);
    for (int64_t offset : {int64_t{0}, tail}) {
        const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), offset);
        for (ssize_t i = 0; i < got; ++i) {
            hash ^= buffer[static_cast<size_t>(i)];
            hash *= 1099511628211ull;
        }
    }
    ::close(fd);
    return hash;
}

// Everything that decides the cache's pixels. Empty when the source cannot be
// examined (the run then fails on reading it anyway).
std::string identityOf(const RunContext& run, const std::string& source, float scale, float stops, const char* kind,
                       float gamma)
{
    const RunSettings& settings = run.settings;
    struct stat st{};
    if (stat(source.c_str(), &st) != 0)
        return std::string();
    char* resolved = realpath(source.c_str(), nullptr);
    const std::string where = resolved != nullptr ? resolved : source;
    std::free(resolved);
    char facts[320];
    std::snprintf(facts, sizeof facts,
                  "size=%lld\nmtime=%lld.%09ld\nctime=%lld.%09ld\ninode=%llu\ndevice=%llu\ncontent=%016llx\n",
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                  static_cast<long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                  static_cast<long>(st.st_ctim.tv_nsec), static_cast<unsigned long long>(st.st_ino),
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(S_ISREG(st.st_mode) ? contentCheck(source, st.st_size) : 0));
    std::string identity = std::string("Quovix cache 2\nkind=") + kind + "\nsource=" + where + "\n" + facts +
                           "scale=" + hexFloat(scale) + "\nstops=" + hexFloat(stops) + "\n";
    if (gamma != 0.0f)
        identity += "gamma=" + hexFloat(gamma) + "\n";
    if (isRawInput(source))
    {
        identity += "converter=" + settings.converterPath + "\nconverterArgs=" + settings.converterArgs + "\n";
        // A file the converter could not read (or a missing converter) was
        // decoded by LibRaw: once the converter reads it, the cache is stale.
        if (decodedInProcess(run, source))
            identity += "engine=libraw\n";
    }
    return identity;
}

std::string sourceLine(const std::string& identity)
{
    const size_t at = identity.find("\nsource=");
    if (at == std::string::npos)
        return std::string();
    const size_t end = identity.find('\n', at + 1);
    return identity.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// "<name>.tif" → "<name>-<n>.tif".
std::string numbered(const std::string& base, int n)
{
    if (n == 0)
        return base;
    const size_t dot = base.rfind('.');
    const size_t slash = base.rfind('/');
    const size_t cut = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? base.size() : dot;
    return base.substr(0, cut) + "-" + std::to_string(n) + base.substr(cut);
}

} // namespace

std::string readTiffDescription(const std::string& path)
{
    TIFF* tiff = openTiffQuietly(path);
    if (tiff == nullptr)
        return std::string();
    char* text = nullptr;
    std::string description;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) == 1 && text != nullptr)
        description = text;
    TIFFClose(tiff);
    return description;
}

Status writeCache(RunContext& run, const CacheEntry& entry, const void* buffer, TiffLayout layout)
{
    layout.description = entry.identity;
    const std::string temp = reserveTempBeside(entry.path);
    if (temp.empty())
        return writeTiffImage(run, entry.path, buffer, layout);  // reports the open failure
    Status status = writeTiffImage(run, temp, buffer, layout);
    if (!status.ok()) {
        std::remove(temp.c_str());
        return status;
    }
    if (!commitTemp(temp, entry.path))
        return Status::writeFailure(entry.path, "Cannot write TIFF file " + entry.path + "\n");
    return Status();
}

CacheEntry findCache(RunContext& run, const std::string& base, const std::string& source, float scale, float stops,
                     const char* kind, float gamma)
{
    CacheEntry entry;
    entry.identity = identityOf(run, source, scale, stops, kind, gamma);
    for (int n = 0;; ++n) {
        entry.path = numbered(base, n);
        struct stat st{};
        if (lstat(entry.path.c_str(), &st) != 0)
            return entry;  // a free name
        const std::string found = S_ISREG(st.st_mode) ? readTiffDescription(entry.path) : std::string();
        if (!entry.identity.empty() && found == entry.identity) {
            entry.valid = true;
            return entry;
        }
        // A stale cache of this very file (changed since, or made with other
        // settings) is replaced; a cache of another file keeps its name.
        if (!entry.identity.empty() && S_ISREG(st.st_mode) && sourceLine(found) == sourceLine(entry.identity))
            return entry;
        if (n >= 999)
            return entry;  // a crowded folder: the last name is rebuilt
    }
}

} // namespace quovix
