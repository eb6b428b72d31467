// Everything a run settles from its inputs before analysis: classification of
// each input, the canvas, the preview scale, the bracketing copies, the output
// name and depth, and the level count.
#pragma once

#include "analysis/fusion_run.h"

#include <string>
#include <vector>

namespace quovix {

Status setupRun(FusionRun& run, const std::vector<std::string>& inputs);

// "<first>-<last>_fused_l%d_e%d_c%d_s%d_br%02d_co%02d_sh%02d_hi%02d_fs%02d_fh%02d.<tif|jpg>"
std::string makeOutputName(const RunSettings& settings, const std::string& firstPath, const std::string& lastPath);

} // namespace quovix
