// Banded warp onto the reference canvas: exact samples for the identity and
// whole-pixel shifts, footprint alpha, clamping, channel layouts, and rows
// that do not depend on the band they are computed in.
#include "alignment/warp_frame.h"
#include "photo_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace quovix::align;

// A frame of the crusader photograph (RGB, v * 257), cropped small.
LoadedFrame photoFrame(int width, int height)
{
    const cv::Mat rgb = alignfx::readJpeg(sourceDir() + "/examples/crusader/5.jpeg");
    EXPECT_FALSE(rgb.empty());
    return alignfx::frameFrom8Bit(rgb(cv::Rect(600, 700, width, height)).clone());
}

Frame16 view(const LoadedFrame& f)
{
    return {f.pixels.data(), f.width, f.height, f.channels, static_cast<size_t>(f.width) * f.channels};
}

std::vector<uint16_t> warpAll(const Frame16& src, const Homography& h, int w, int h2, WarpKernel kernel)
{
    std::vector<uint16_t> out(static_cast<size_t>(w) * h2 * 4, 1234);
    std::string error;
    EXPECT_TRUE(warpRows(src, h, w, h2, 0, h2, kernel, out.data(), error)) << error;
    return out;
}

const uint16_t* pixel(const std::vector<uint16_t>& rgba, int width, int x, int y)
{
    return &rgba[(static_cast<size_t>(y) * width + x) * 4];
}

TEST(WarpRows, IdentityAndWholePixelShiftsKeepTheSamples)
{
    const LoadedFrame f = photoFrame(96, 64);
    for (WarpKernel kernel : {WarpKernel::Bicubic, WarpKernel::Lanczos}) {
        SCOPED_TRACE(kernel == WarpKernel::Bicubic ? "bicubic" : "lanczos");
        const std::vector<uint16_t> same = warpAll(view(f), identityHomography(), f.width, f.height, kernel);
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const uint16_t* o = pixel(same, f.width, x, y);
                const uint16_t* in = &f.pixels[(static_cast<size_t>(y) * f.width + x) * 3];
                ASSERT_TRUE(o[0] == in[0] && o[1] == in[1] && o[2] == in[2] && o[3] == 65535) << x << "," << y;
            }
        // Frame pixel (x, y) lands on reference pixel (x + 7, y - 3).
        const Homography shift = {1, 0, 7, 0, 1, -3, 0, 0, 1};
        const std::vector<uint16_t> moved = warpAll(view(f), shift, f.width, f.height, kernel);
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const uint16_t* o = pixel(moved, f.width, x, y);
                const int sx = x - 7, sy = y + 3;
                if (sx < 0 || sy >= f.height) {
                    ASSERT_TRUE(o[0] == 0 && o[1] == 0 && o[2] == 0 && o[3] == 0) << x << "," << y;
                    continue;
                }
                const uint16_t* in = &f.pixels[(static_cast<size_t>(sy) * f.width + sx) * 3];
                ASSERT_TRUE(o[0] == in[0] && o[1] == in[1] && o[2] == in[2] && o[3] == 65535) << x << "," << y;
            }
    }
}

// A sub-pixel move of a linear ramp gives the ramp's own values there.
TEST(WarpRows, SubPixelShiftInterpolates)
{
    LoadedFrame f;
    f.width = 40, f.height = 8, f.channels = 1;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            f.pixels.push_back(static_cast<uint16_t>(1000 + 1000 * x));
    const Homography shift = {1, 0, 0.5, 0, 1, 0, 0, 0, 1};
    const std::vector<uint16_t> out = warpAll(view(f), shift, f.width, f.height, WarpKernel::Bicubic);
    for (int x = 4; x < 36; ++x)
        EXPECT_NEAR(pixel(out, f.width, x, 4)[0], 1000 + 1000 * (x - 0.5), 2.0) << x;
}

TEST(WarpRows, FootprintAlphaFollowsTheTransform)
{
    const LoadedFrame f = photoFrame(80, 60);
    // Rotated by 10 degrees about the centre and shrunk: the canvas corners
    // fall outside the frame, its centre inside.
    const Homography h = alignfx::motion(3.5, -2.0, 10.0, -10.0, 0, 0, f.width, f.height);
    const std::vector<uint16_t> out = warpAll(view(f), h, f.width, f.height, WarpKernel::Bicubic);
    Homography back;
    ASSERT_TRUE(invert(h, back));
    int present = 0;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            double sx, sy;
            const bool inside = sourcePosition(back, f.width, f.height, x, y, sx, sy);
            const uint16_t* o = pixel(out, f.width, x, y);
            ASSERT_EQ(o[3], inside ? 65535 : 0) << x << "," << y;
            if (!inside) {
                ASSERT_TRUE(o[0] == 0 && o[1] == 0 && o[2] == 0);
            }
            present += inside ? 1 : 0;
        }
    EXPECT_EQ(pixel(out, f.width, 0, 0)[3], 0);
    EXPECT_EQ(pixel(out, f.width, 40, 30)[3], 65535);
    EXPECT_GT(present, f.width * f.height / 2);
    EXPECT_LT(present, f.width * f.height);
}

// Cubic and Lanczos kernels overshoot at a black-to-white step: beside the
// step the samples must saturate at 0 and 65535, not wrap around.
TEST(WarpRows, ClampsOvershootAtHardEdges)
{
    LoadedFrame f;
    f.width = 32, f.height = 4, f.channels = 3;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            for (int c = 0; c < 3; ++c)
                f.pixels.push_back(x < 16 ? 0 : 65535);
    // Reference pixel x samples the frame at x - 0.37.
    const Homography shift = {1, 0, 0.37, 0, 1, 0, 0, 0, 1};
    for (WarpKernel kernel : {WarpKernel::Bicubic, WarpKernel::Lanczos}) {
        const std::vector<uint16_t> out = warpAll(view(f), shift, f.width, f.height, kernel);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(pixel(out, f.width, 15, 2)[c], 0);      // undershoot
            EXPECT_EQ(pixel(out, f.width, 17, 2)[c], 65535);  // overshoot
            const int middle = pixel(out, f.width, 16, 2)[c];
            EXPECT_GT(middle, 30000);
            EXPECT_LT(middle, 50000);
            if (kernel == WarpKernel::Bicubic) {  // one lobe each side: a clean ramp
                for (int x = 1; x < f.width; ++x)
                    ASSERT_GE(pixel(out, f.width, x, 2)[c], pixel(out, f.width, x - 1, 2)[c]) << x;
            }
        }
    }
}

TEST(WarpRows, GreyAndAlphaLayouts)
{
    // Grey + alpha, with a hole in the alpha.
    LoadedFrame f;
    f.width = 20, f.height = 10, f.channels = 2;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            f.pixels.push_back(static_cast<uint16_t>(300 * x + 7 * y));
            f.pixels.push_back(x >= 5 && x < 8 && y >= 3 && y < 6 ? 0 : 65535);
        }
    const std::vector<uint16_t> out = warpAll(view(f), identityHomography(), f.width, f.height, WarpKernel::Bicubic);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const uint16_t* o = pixel(out, f.width, x, y);
            const bool hole = x >= 5 && x < 8 && y >= 3 && y < 6;
            ASSERT_EQ(o[3], hole ? 0 : 65535) << x << "," << y;
            if (!hole) {
                ASSERT_TRUE(o[0] == 300 * x + 7 * y && o[1] == o[0] && o[2] == o[0]) << x << "," << y;
            }
        }

    // RGBA with a row stride wider than the row.
    LoadedFrame rgba;
    rgba.width = 6, rgba.height = 3, rgba.channels = 4;
    const size_t stride = 6 * 4 + 5;
    rgba.pixels.assign(stride * 3, 9);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x)
            for (int c = 0; c < 4; ++c)
                rgba.pixels[y * stride + x * 4 + c] = c == 3 ? (x == 2 ? 0 : 40000) : static_cast<uint16_t>(100 * c + x);
    const Frame16 v{rgba.pixels.data(), 6, 3, 4, stride};
    const std::vector<uint16_t> o = warpAll(v, identityHomography(), 6, 3, WarpKernel::Lanczos);
    for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(pixel(o, 6, x, 1)[3], x == 2 ? 0 : 65535);
        if (x != 2) {
            EXPECT_EQ(pixel(o, 6, x, 1)[2], 200 + x);
        }
    }
}

TEST(WarpRows, BandsJoinWithoutSeams)
{
    const LoadedFrame f = photoFrame(120, 90);
    const Homography h = alignfx::motion(-4.3, 6.1, 1.7, 2.2, 2e-4, -1e-4, f.width, f.height);
    const std::vector<uint16_t> whole = warpAll(view(f), h, 110, 95, WarpKernel::Lanczos);
    std::vector<uint16_t> banded(whole.size(), 1);
    std::string error;
    for (int y0 = 0; y0 < 95; y0 += 13) {
        const int y1 = std::min(95, y0 + 13);
        ASSERT_TRUE(warpRows(view(f), h, 110, 95, y0, y1, WarpKernel::Lanczos, &banded[static_cast<size_t>(y0) * 110 * 4],
                             error))
            << error;
    }
    EXPECT_EQ(banded, whole);
}

TEST(WarpRows, RejectsInvalidArguments)
{
    const LoadedFrame f = photoFrame(16, 16);
    std::vector<uint16_t> out(16 * 16 * 4);
    std::string error;
    EXPECT_FALSE(warpRows(view(f), identityHomography(), 16, 16, 4, 20, WarpKernel::Bicubic, out.data(), error));
    EXPECT_FALSE(error.empty());
    const Homography singular = {1, 2, 0, 2, 4, 0, 0, 0, 1};
    EXPECT_FALSE(warpRows(view(f), singular, 16, 16, 0, 16, WarpKernel::Bicubic, out.data(), error));
    Frame16 bad = view(f);
    bad.channels = 5;
    EXPECT_FALSE(warpRows(bad, identityHomography(), 16, 16, 0, 16, WarpKernel::Bicubic, out.data(), error));
}

} // namespace
