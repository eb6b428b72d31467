// Progress of one run for the library user's callback. Work is counted in
// pixels handled (pyramid pixels analysed, pyramid pixels of every member
// fused), so equal shares of the fraction take about equal time.
#pragma once

#include "quovix/quovix.h"

#include <cstdint>

namespace quovix {

class Progress {
public:
    explicit Progress(ProgressCallback callback) : callback_(std::move(callback)) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // The work still to come from now on (replaces any earlier estimate).
    void expect(int64_t remaining) { total_ = done_ + (remaining > 0 ? remaining : 0); }
    // A new stage starts; reported at the fraction reached.
    void stage(const char* name);
    void advance(int64_t units);
    // The run is complete.
    void finish();

private:
    void report();

    ProgressCallback callback_;
    const char* stage_ = "preparing";
    int64_t total_ = 0;
    int64_t done_ = 0;
    double reported_ = 0.0;
};

// Pixels of all `levels` levels of a width x height pyramid.
int64_t pyramidPixels(int width, int height, int levels);

} // namespace quovix
