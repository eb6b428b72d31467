#include "support/process_owner.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace quovix {

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "?";
    return name;
}

std::string pidNamespace()
{
    char link[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/pid", link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string("?");
}

std::string hostTag()
{
    // FNV-1a: stable across runs and builds, which std::hash need not be.
    uint32_t hash = 2166136261u;
    for (const char c : hostName() + "\n" + pidNamespace()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
    return text;
}

bool processGone(long pid)
{
    if (pid <= 0 || pid == static_cast<long>(getpid()))
        return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace quovix
