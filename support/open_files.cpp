#include "support/open_files.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace quovix {

Status ensureOpenFileLimit(uint64_t needed, const std::string& what)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return Status();
    const rlim_t soft = limit.rlim_cur;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
        // An unlimited hard limit cannot be taken literally: the kernel caps
        // open files per process, so ask for what is needed then.
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return Status();
        const int err = errno;
        return Status::failure(kExitIoError, what + " needs " + std::to_string(needed) +
                                                 " open files; the limit is " + std::to_string(soft) +
                                                 " and cannot be raised (" + std::strerror(err) +
                                                 "): raise it with ulimit -n " + std::to_string(needed) + "\n");
    }
    return Status::failure(kExitIoError, what + " needs " + std::to_string(needed) + " open files; the limit is " +
                                             std::to_string(soft) + " and its hard limit " +
                                             std::to_string(limit.rlim_max) +
                                             ": raise the hard limit on open files (ulimit -Hn " +
                                             std::to_string(needed) + " as root, or nofile in "
                                             "/etc/security/limits.conf)\n");
}

} // namespace quovix
