// Alignment of hand-held inputs as a step of the run's setup: every input's
// transform onto the reference input is estimated (or loaded), and every
// image-list entry is replaced by a copy warped onto the canvas, with alpha 0
// outside its footprint, so the fusion's handling of absent pixels covers the
// borders.
#pragma once

#include "alignment/homography.h"
#include "analysis/fusion_run.h"

#include <string>
#include <vector>

namespace quovix {

// Whether the options ask for alignment (--align, or any option that implies it).
bool alignmentWanted(const Options& options);

// The folder of --alignOnly, made when missing; refused unless it is a
// folder this process can write into. Checked before any work.
Status prepareAlignOnlyFolder(const std::string& folder);

// The transforms of the run's --alignLoad file for `inputs`, mapped onto the
// run's canvas (`toReference` holds one per input on entry). Only a regular
// file of a transform file's size is read; a file that does not parse or
// holds another number of transforms is refused. Verbose runs get a line per
// input in `report`.
Status loadTransforms(FusionRun& run, const std::vector<std::string>& inputs, std::vector<align::Homography>& toReference,
                      std::vector<std::string>& report);

// The setup step, run once the image list and the canvas are settled; every
// entry knows the input (index into `inputs`) it was made from. With
// alignCrop the canvas may shrink. With alignOnly the aligned inputs are
// written into that folder and the list is left as it was. Inputs that
// cannot be aligned leave the list (unless alignKeepFailed) and the inputs
// that stay are renumbered.
Status alignInputs(FusionRun& run, const std::vector<std::string>& inputs);

} // namespace quovix
