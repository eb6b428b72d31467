// Times the alignment of one 24-megapixel frame: a bundled photograph upscaled
// to 24 MP is the reference, the same view moved by a known homography and
// darkened by one stop is the frame. Estimation (both frames reduced, features
// matched, patches refined) and the banded warp are timed apart; the corner
// error against the known homography is printed.
//
// A second case times the estimation on two real hand-held frames of the
// bracket upscaled to 24 MP, where the figurine's parallax leaves no plane
// transform for the patches and the whole-frame refinement runs.
//
// usage: bench_align [photo.jpg]   (default examples/crusader/1.jpeg, run from the source folder)

#include "alignment/estimate_alignment.h"
#include "alignment/warp_frame.h"
#include "imageio/jpeg_io.h"
#include "support/console.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace quovix::align;
using quovix::clockMs;

namespace {

constexpr double kScale = 2.8;  // 1512 x 2016 -> 4234 x 5645, 23.9 MP

cv::Mat readJpeg(const std::string& path)
{
    quovix::Console console;
    int width = 0, height = 0, components = 0;
    if (!quovix::readJpegHeader(console, path, width, height, components).ok() || components != 3)
        return {};
    cv::Mat image(height, width, CV_8UC3);
    if (!quovix::readJpeg(console, path, quovix::ImageInfo(), image.data).ok())
        return {};
    return image;
}

LoadedFrame toFrame(const cv::Mat& rgb16)
{
    LoadedFrame f;
    f.width = rgb16.cols;
    f.height = rgb16.rows;
    f.channels = 3;
    f.pixels.resize(static_cast<size_t>(f.width) * f.height * 3);
    for (int r = 0; r < rgb16.rows; ++r)
        std::copy(rgb16.ptr<uint16_t>(r), rgb16.ptr<uint16_t>(r) + f.width * 3, f.pixels.begin() + static_cast<size_t>(r) * f.width * 3);
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "examples/crusader/1.jpeg";
    const cv::Mat photo = readJpeg(path);
    if (photo.empty()) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    cv::Mat big;
    cv::resize(photo, big, cv::Size(), kScale, kScale, cv::INTER_CUBIC);
    big.convertTo(big, CV_16UC3, 257.0);
    const int w = big.cols, h = big.rows;

    // Frame pixel p shows what the reference shows at truth(p).
    const double cx = (w - 1) * 0.5, cy = (h - 1) * 0.5, a = 1.3 * M_PI / 180.0, s = 1.02;
    const Homography toCentre = {1, 0, -cx, 0, 1, -cy, 0, 0, 1};
    const Homography turn = {s * std::cos(a), -s * std::sin(a), 0, s * std::sin(a), s * std::cos(a), 0, 3e-6, -2e-6, 1};
    const Homography back = {1, 0, cx + 61.3, 0, 1, cy - 87.6, 0, 0, 1};
    const Homography truth = multiply(back, multiply(turn, toCentre));
    cv::Mat m(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k)
        m.at<double>(k / 3, k % 3) = truth[k];
    cv::Mat moved;
    cv::warpPerspective(big, moved, m, big.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
    moved.convertTo(moved, CV_16UC3, 0.73);  // about one stop darker in linear light

    const std::vector<LoadedFrame> frames = {toFrame(big), toFrame(moved)};
    big.release();
    moved.release();
    std::printf("frames %d x %d (%.1f MP)\n", w, h, w * static_cast<double>(h) / 1e6);

    AlignOptions options;
    options.referenceIndex = 0;
    int64_t start = clockMs();
    const AlignmentResult result = estimateAlignment(
        2, [&frames](int i, LoadedFrame& f, std::string&) { f = frames[i]; return true; }, options);
    const int64_t estimateMs = clockMs() - start;
    if (!result.ok || !result.frames[1].ok) {
        std::printf("alignment failed: %s%s\n", result.error.c_str(), result.ok ? result.frames[1].failure.c_str() : "");
        return 1;
    }
    const FrameEstimate& f = result.frames[1];
    std::printf("estimation (reference + frame): %lld ms; corner error %.3f px; shift %.1f px, rotation %.2f deg, "
                "scale %+.2f %%, %d inliers, %d patches, residual %.3f px\n",
                static_cast<long long>(estimateMs), cornerDistanceRms(f.toReference, truth, w, h), f.shiftPx,
                f.rotationDeg, f.scalePercent, f.inliers, f.patches, f.medianResidualPx);

    const Frame16 source{frames[1].pixels.data(), w, h, 3, static_cast<size_t>(w) * 3};
    const int band = 256;
    std::vector<uint16_t> rows(static_cast<size_t>(w) * band * 4);
    for (WarpKernel kernel : {WarpKernel::Bicubic, WarpKernel::Lanczos}) {
        start = clockMs();
        std::string error;
        for (int y0 = 0; y0 < h; y0 += band)
            if (!warpRows(source, f.toReference, w, h, y0, std::min(h, y0 + band), kernel, rows.data(), error)) {
                std::printf("warp failed: %s\n", error.c_str());
                return 1;
            }
        std::printf("warp %s, %d-row bands: %lld ms\n", kernel == WarpKernel::Bicubic ? "bicubic" : "lanczos", band,
                    static_cast<long long>(clockMs() - start));
    }

    // Two real frames a stop and a half apart, moved by hand.
    cv::Mat pair[2];
    const char* names[2] = {"examples/crusader/3.jpeg", "examples/crusader/4.jpeg"};
    for (int k = 0; k < 2; ++k) {
        const cv::Mat shot = readJpeg(names[k]);
        if (shot.empty()) {
            std::fprintf(stderr, "cannot read %s\n", names[k]);
            return 1;
        }
        cv::resize(shot, pair[k], cv::Size(), kScale, kScale, cv::INTER_CUBIC);
        pair[k].convertTo(pair[k], CV_16UC3, 257.0);
    }
    const std::vector<LoadedFrame> handHeld = {toFrame(pair[0]), toFrame(pair[1])};
    pair[0].release();
    pair[1].release();
    options.referenceIndex = 1;
    start = clockMs();
    const AlignmentResult real = estimateAlignment(
        2, [&handHeld](int i, LoadedFrame& f, std::string&) { f = handHeld[i]; return true; }, options);
    const int64_t realMs = clockMs() - start;
    if (!real.ok || !real.frames[0].ok) {
        std::printf("hand-held alignment failed: %s%s\n", real.error.c_str(),
                    real.ok ? real.frames[0].failure.c_str() : "");
        return 1;
    }
    const FrameEstimate& r = real.frames[0];
    std::printf("estimation of a hand-held pair (reference + frame, parallax): %lld ms; shift %.1f px, rotation "
                "%.2f deg, scale %+.2f %%, %s\n",
                static_cast<long long>(realMs), r.shiftPx, r.rotationDeg, r.scalePercent,
                r.wholeFrame ? "whole-frame refinement" : (r.refined ? "patch refinement" : "features only"));
    return 0;
}
