// The families of transforms the alignment may estimate, and their option names.
#pragma once

#include <string_view>

namespace quovix::align {

enum class MotionModel {
    Translation,  // shift only
    Euclidean,    // rotation + shift
    Affine,       // any linear map + shift
    Homography,   // plane projective transform
};

// "translation", "euclidean", "affine", "homography".
const char* motionModelName(MotionModel model);

// Parses the names above (ASCII case ignored); false for anything else.
bool parseMotionModel(std::string_view text, MotionModel& model);

} // namespace quovix::align
