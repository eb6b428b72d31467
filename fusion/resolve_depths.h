// The depths a run can only settle once its canvas is final (alignment may
// crop it): the pyramid's level count, the limits derived from it and the
// output's bits per sample. Computed once from the options and what the
// inputs showed; the options themselves stay as the caller gave them.
#pragma once

#include "analysis/fusion_run.h"

#include <string>

namespace quovix {

// `maxBits`: the deepest input's bits per sample. `notice` receives the line
// that says a level count was out of reach ("Cannot use %d levels..."), or
// stays empty.
RunDepths resolveDepths(const Options& options, const ImageRegion& canvas, int maxBits, std::string& notice);

} // namespace quovix
