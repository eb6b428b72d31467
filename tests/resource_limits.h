// Temporary resource limits for in-process failure tests: a write that runs
// out of file size, a thread that cannot get a stack. Only the soft limit is
// lowered, so the destructor can put it back.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

// Files of this process cannot grow beyond `bytes` while the object lives;
// the write that would fails with EFBIG instead of raising SIGXFSZ.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        const rlimit cap{bytes, saved_.rlim_max};
        applied_ = setrlimit(RLIMIT_FSIZE, &cap) == 0;
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;
    bool applied() const { return applied_; }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
    bool applied_ = false;
};

// The address space of this process is capped just above its current size
// while the object lives, so no thread stack can be mapped. Not usable under
// the address sanitizer (its shadow memory is far larger).
class AddressSpaceCap {
public:
    AddressSpaceCap()
    {
        getrlimit(RLIMIT_AS, &saved_);
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const rlimit cap{static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1u << 20),
                         saved_.rlim_max};
        applied_ = pages > 0 && setrlimit(RLIMIT_AS, &cap) == 0;
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
    bool applied() const { return applied_; }

private:
    rlimit saved_{};
    bool applied_ = false;
};
