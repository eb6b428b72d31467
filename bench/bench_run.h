// The run context of a micro-benchmark: console lines on standard output and
// scratch files in a private folder under /tmp that goes when the benchmark ends.
#pragma once

#include "quovix/quovix.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace quovix {

// A fresh 0700 folder under /tmp, removed with its contents on destruction.
// Declare it before the runs that use it, so that they end first.
class BenchFolder {
public:
    BenchFolder()
    {
        char name[] = "/tmp/quovix-bench-XXXXXX";
        if (mkdtemp(name) != nullptr)
            path_ = name;
        else
            std::perror("mkdtemp /tmp/quovix-bench-XXXXXX");
    }
    ~BenchFolder()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Options of a benchmark run; workers 0 takes the environment's count.
inline Options benchOptions(const BenchFolder& folder, int workers)
{
    Options options;
    options.tempFolder = folder.path();
    options.workerCount = workers;
    options.onMessage = [](MessageKind, std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    };
    return options;
}

} // namespace quovix
