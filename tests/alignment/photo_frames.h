// Frames for the alignment tests, made from the bundled photographs: JPEGs
// read through the program's reader, and synthetic brackets and focus steps of a
// photograph with a known transform, exposure change and blur.
#pragma once

#include "alignment/estimate_alignment.h"
#include "alignment/homography.h"
#include "imageio/jpeg_io.h"
#include "test_util.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace alignfx {

using quovix::align::Homography;
using quovix::align::LoadedFrame;

// 8-bit RGB JPEG as CV_8UC3 (RGB order), through the program's own reader;
// empty when unreadable.
inline cv::Mat readJpeg(const std::string& path)
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

inline double srgbToLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

inline double linearToSrgb(double v)
{
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

// The photograph in linear light (CV_32FC3, 0..1), resized by `scale`.
inline cv::Mat linearPhoto(const std::string& path, double scale = 1.0)
{
    cv::Mat rgb = readJpeg(path);
    if (rgb.empty())
        return {};
    if (scale != 1.0)
        cv::resize(rgb, rgb, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat lut(1, 256, CV_32FC1);
    for (int v = 0; v < 256; ++v)
        lut.at<float>(v) = static_cast<float>(srgbToLinear(v / 255.0));
    cv::Mat out(rgb.size(), CV_32FC3);
    for (int r = 0; r < rgb.rows; ++r) {
        const uint8_t* in = rgb.ptr<uint8_t>(r);
        float* o = out.ptr<float>(r);
        for (int k = 0; k < rgb.cols * 3; ++k)
            o[k] = lut.at<float>(in[k]);
    }
    return out;
}

// A hand-held motion about the frame centre: shift, rotation, scale change
// and a tilt (perspective terms px, py per pixel).
inline Homography motion(double dx, double dy, double rotationDeg, double scalePercent, double px, double py,
                         int width, int height)
{
    using namespace quovix::align;
    const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
    const double a = rotationDeg * M_PI / 180.0, s = 1.0 + scalePercent / 100.0;
    const Homography toCentre = {1, 0, -cx, 0, 1, -cy, 0, 0, 1};
    const Homography tilt = {1, 0, 0, 0, 1, 0, px, py, 1};
    const Homography turn = {s * std::cos(a), -s * std::sin(a), 0, s * std::sin(a), s * std::cos(a), 0, 0, 0, 1};
    const Homography back = {1, 0, cx + dx, 0, 1, cy + dy, 0, 0, 1};
    return multiply(back, multiply(turn, multiply(tilt, toCentre)));
}

// One shot of the scene: the reference view is the photograph's window at
// `origin` of `size`; the frame shows what lands on reference pixel
// toReference(p) at its pixel p, blurred by `blurSigma` pixels (optics, in
// linear light), exposed `ev` stops away, clipped, sRGB-encoded and stored
// with 8-bit precision like a camera JPEG (as 16-bit samples v * 257).
inline cv::Mat shootLinear(const cv::Mat& photo, const Homography& toReference, cv::Point origin, cv::Size size,
                           double blurSigma)
{
    using namespace quovix::align;
    // Rendered with a margin, so the blur near the frame edge sees the scene
    // beyond it as a camera would.
    const int margin = blurSigma > 0 ? static_cast<int>(std::ceil(4 * blurSigma)) : 0;
    const Homography shift = {1, 0, static_cast<double>(origin.x), 0, 1, static_cast<double>(origin.y), 0, 0, 1};
    const Homography fromMargin = {1, 0, -static_cast<double>(margin), 0, 1, -static_cast<double>(margin), 0, 0, 1};
    const Homography toPhoto = multiply(shift, multiply(toReference, fromMargin));
    cv::Mat m(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k)
        m.at<double>(k / 3, k % 3) = toPhoto[k];
    cv::Mat view;
    cv::warpPerspective(photo, view, m, cv::Size(size.width + 2 * margin, size.height + 2 * margin),
                        cv::INTER_LANCZOS4 | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
    if (blurSigma > 0) {
        cv::GaussianBlur(view, view, cv::Size(), blurSigma, blurSigma, cv::BORDER_REFLECT);
        view = view(cv::Rect(margin, margin, size.width, size.height)).clone();
    }
    return view;
}

inline LoadedFrame exposeFrame(const cv::Mat& linear, double ev)
{
    LoadedFrame f;
    f.width = linear.cols;
    f.height = linear.rows;
    f.channels = 3;
    f.pixels.resize(static_cast<size_t>(f.width) * f.height * 3);
    const double gain = std::pow(2.0, ev);
    std::vector<uint8_t> lut(65537);
    for (int k = 0; k <= 65536; ++k)
        lut[k] = static_cast<uint8_t>(std::lround(255.0 * linearToSrgb(k / 65536.0)));
    for (int r = 0; r < linear.rows; ++r) {
        const float* in = linear.ptr<float>(r);
        uint16_t* out = f.pixels.data() + static_cast<size_t>(r) * f.width * 3;
        for (int k = 0; k < f.width * 3; ++k) {
            const double v = std::min(1.0, std::max(0.0, in[k] * gain));
            out[k] = static_cast<uint16_t>(lut[static_cast<int>(std::lround(v * 65536.0))] * 257);
        }
    }
    return f;
}

inline LoadedFrame shoot(const cv::Mat& photo, const Homography& toReference, cv::Point origin, cv::Size size,
                         double ev, double blurSigma)
{
    return exposeFrame(shootLinear(photo, toReference, origin, size, blurSigma), ev);
}

// A 16-bit frame from an 8-bit RGB image (v * 257).
inline LoadedFrame frameFrom8Bit(const cv::Mat& rgb)
{
    LoadedFrame f;
    f.width = rgb.cols;
    f.height = rgb.rows;
    f.channels = 3;
    f.pixels.resize(static_cast<size_t>(f.width) * f.height * 3);
    for (int r = 0; r < rgb.rows; ++r) {
        const uint8_t* in = rgb.ptr<uint8_t>(r);
        uint16_t* out = f.pixels.data() + static_cast<size_t>(r) * f.width * 3;
        for (int k = 0; k < f.width * 3; ++k)
            out[k] = static_cast<uint16_t>(in[k] * 257);
    }
    return f;
}

// A loader over frames held in memory.
inline quovix::align::FrameLoader memoryLoader(const std::vector<LoadedFrame>& frames)
{
    return [&frames](int index, LoadedFrame& frame, std::string&) {
        frame = frames[index];
        return true;
    };
}

// Mean absolute difference of two exposures over the mask, after mapping b
// onto a by their cumulative histograms there (histogram matching): a
// camera's tone curve and clipping make exposures differ by more than a gain.
inline double exposureMatchedDifference(const std::vector<float>& a, const std::vector<float>& b,
                                        const std::vector<uint8_t>& mask)
{
    std::vector<float> va, vb;
    for (size_t p = 0; p < mask.size(); ++p)
        if (mask[p]) {
            va.push_back(a[p]);
            vb.push_back(b[p]);
        }
    if (va.empty())
        return 0.0;
    std::vector<size_t> order(vb.size());
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&vb](size_t x, size_t y) { return vb[x] < vb[y]; });
    std::vector<float> sortedA = va;
    std::sort(sortedA.begin(), sortedA.end());
    double diff = 0.0;
    for (size_t rank = 0; rank < order.size(); ++rank)
        diff += std::fabs(va[order[rank]] - sortedA[rank]);
    return diff / static_cast<double>(va.size());
}

} // namespace alignfx
