#include "alignment/motion_model.h"

#include <cctype>

namespace quovix::align {

namespace {

constexpr MotionModel kModels[] = {MotionModel::Translation, MotionModel::Euclidean, MotionModel::Affine,
                                   MotionModel::Homography};

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

const char* motionModelName(MotionModel model)
{
    switch (model) {
    case MotionModel::Translation: return "translation";
    case MotionModel::Euclidean: return "euclidean";
    case MotionModel::Affine: return "affine";
    case MotionModel::Homography: return "homography";
    }
    return "unknown";
}

bool parseMotionModel(std::string_view text, MotionModel& model)
{
    for (MotionModel m : kModels)
        if (equalIgnoringCase(text, motionModelName(m))) {
            model = m;
            return true;
        }
    return false;
}

} // namespace quovix::align
