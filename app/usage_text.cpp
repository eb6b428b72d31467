// Help and version texts. The help text shows the current settings as its
// defaults, so options read before -h are reflected in it.
#include "app/command_line.h"

#include "quovix/version.h"

#include <cstdio>

namespace {

const char kUsageFormat[] =
    " Usage: \n"
    "\n"
    "    %s [options] input_file [input_file] [input_file] [...]\n"
    "\n"
    " Input Formats:\n"
    "\n"
    "    TIFF, JPEG, PNG, RAW (dcraw or LibRaw)\n"
    "\n"
    " Options:\n"
    "\n"
    "  -o filename           Output filename (TIFF, BigTIFF, JPEG or PNG)\n"
    "  -a n                  Output bit depth. Valid choices = 8 or 16\n"
    "  --compression type    Choices: LZW, DEFLATE, PACKBITS, NONE (default=LZW)\n"
    "  --bigtiff             Creates BigTiff output\n"
    "\n"
    "  -l n           Specify number of levels to use.\n"
    "  -p n           Number of fusion iterations (1 or 2). Default=%d\n"
    "  -b [+,-]n      Auto-bracket each exposure by +n, -n or +/-n stops\n"
    "  -w             Blend across -180/+180 boundary (for 360 degree images)\n"
    "\n"
    "  -h             Shows this help message\n"
    "  -v             Show verbose output\n"
    "  -V             Show version, license and credits\n"
    "\n"
    " Weighting Options:\n"
    "\n"
    "  --wMode1 n       Laplacian combination mode for iteration 1. Default=%d\n"
    "  --wMode2 n       Laplacian combination mode for iteration 2. Default=%d\n"
    "  --wMode n        Laplacian combination mode for both iterations.\n"
    "                      (Mode values: 0=Weighted Average, 1=Maximum, 2=Hybrid)\n"
    "\n"
    "  --wExposure1 n   Weight for well-exposed pixels for iteration 1. Default=%.2f\n"
    "  --wExposure2 n   Weight for well-exposed pixels for iteration 2. Default=%.2f\n"
    "  --wExposure  n   Weight for well-exposed pixels for iteration 1 & 2\n"
    "\n"
    "  --wContrast1 n   Weight for contrasty pixels for iteration 1. Default=%.2f\n"
    "  --wContrast2 n   Weight for contrasty pixels for iteration 2. Default=%.2f\n"
    "  --wContrast  n   Weight for contrasty pixels for iteration 1 & 2\n"
    "\n"
    "  --wSaturation1 n Weight for saturated pixels in iteration 1. Default=%.2f\n"
    "  --wSaturation2 n Weight for saturated pixels in iteration 2. Default=%.2f\n"
    "  --wSaturation  n Weight for saturated pixels in iteration 1 & 2\n"
    "                      (Weight values: 0.0 - 1.0)\n"
    "\n"
    " Exposure Weight Curve Options:\n"
    "\n"
    "  --cCo n      Contrast: Specifies width/spread of weight curve.\n"
    "  --cBr n      Brightness: Determines center of weight curve.\n"
    "  -C           Print exposure weight curve values\n"
    "                      (Curve values range from -5 to 5, default=0)\n"
    "\n"
    " Expert Options:\n"
    "\n"
    "  -f           Keep fused images produced after 1st iteration\n"
    "  -e n         Exposure difference threshold in stops. Default=%.2f\n"
    "  -z n         Exposure weight creation mode: 0=Greyscale, 1=Color. Default=%d\n"
    "  -k n         Gamma: Used to compute relative exposures. Default=%.2f\n"
    "\n"
    "\n";

const char kExtendedText[] =
    "\n"
    " GUI Specific Options:\n"
    "\n"
    " -c     Use YCrCb Color Space for processing\n"
    " -j n   JPEG quality (1-100)\n"
    " -t n   Highlight/shadow preservation during focus blending (0=none, 1=full)\n"
    " -l [-/+]n   Specify number of levels to use (without - or +), or adjust the \n"
    "             default number by specified amount\n"
    "\n"
    " Noise Reduction Options:\n"
    "\n"
    "  -nl   luma  threshold (0-1).  Higher values flag more pixels as noise.\n"
    "  -nL   luma  factor (0-1).  Higher values eliminate more noise.\n"
    "  -nv   luma  levels (0-5).  Higher values eliminate lower frequency noise.\n"
    "  -nc   chroma  threshold (0-1).  Higher values flag more pixels as noise.\n"
    "  -nC   chroma  factor(0-1).  Higher values eliminate more noise.\n"
    "  -nw   chroma  levels (0-5).  Higher values eliminate lower frequency noise.\n"
    "  -nr   Radius (default = 2).  Radius around pixel to sample during  detection\n"
    "  -nf   Only perform  during focus blending (forces YCrCb).\n"
    "  -nb   Perform  during focus blending and finalization (forces yCrCB).\n"
    "\n"
    " Internal/Debugging Options:\n"
    "\n"
    " --gScale n  scale factor for output image (0.01 - 1)\n"
    " --gConstrain WxH specifies maximum width (W) and height (H) for output image\n"
    " -dt    show timing\n"
    " -dm    show memory\n"
    "\n"
    " Histogram/Levels Adjustment Options:\n"
    "\n"
    " --gLevelsBP  specifies the black point. (0-1).  Default = 0 (black).\n"
    " --gLevelsWP  specifies the white point. (0-1).  Default = 1 (white).\n"
    " --gLevelsWeight  Specifies the highlight (<0.5) or shadow (>0.5) bias\n"
    " --gLevelsFactor  Specifies the levels adjustment factor (0.1 - 10)\n"
    "\n"
    " Exposure Curve Adjustment Options:\n"
    "\n"
    " --cBr   Brightness (-5 to 5).  Default = 0\n"
    " --cCo   Contrast  (-5 to 5).  Default = 0\n"
    " --cSh   Shadows  (-5 to 5).  Default = 0\n"
    " --cHi   Highlights  (-5 to 5).  Default = 0\n"
    " --cFs   Shadow floor  (-5 to 5).  Default = 0.1\n"
    " --cFh   Highlight floor  (-5 to 5).  Default = 0.1\n"
    "\n"
    " Raw Related Options:\n"
    "\n"
    " -x     \"path\"  Specifies fully qualified location of dcraw\n"
    " --raw  \"args\"  Specifies arguments to be used when invoking dcraw\n"
    " --info \"file\"  show information about raw file specified in file\n"
    "\n";

const char kVersionText[] =
    "Quovix " QUOVIX_VERSION "\n"
    "\n"
    "Exposure and focus fusion of photographs through Laplacian pyramids.\n"
    "\n"
    "Copyright (c) 2026 The Quovix developers\n"
    "Released under the MIT License:\n"
    "\n"
    "Permission is hereby granted, free of charge, to any person obtaining a copy\n"
    "of this software and associated documentation files (the \"Software\"), to deal\n"
    "in the Software without restriction, including without limitation the rights\n"
    "to use, copy, modify, merge, publish, distribute, sublicense, and/or sell\n"
    "copies of the Software, and to permit persons to whom the Software is\n"
    "furnished to do so, subject to the following conditions:\n"
    "\n"
    "The above copyright notice and this permission notice shall be included in all\n"
    "copies or substantial portions of the Software.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR\n"
    "IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,\n"
    "FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE\n"
    "AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER\n"
    "LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,\n"
    "OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE\n"
    "SOFTWARE.\n"
    "\n"
    "Credits:\n"
    "  libtiff (TIFF and BigTIFF input and output), Copyright (c) 1988-1997 Sam Leffler,\n"
    "    Copyright (c) 1991-1997 Silicon Graphics, Inc.\n"
    "  libjpeg-turbo (JPEG input and output); this software is based in part on the\n"
    "    work of the Independent JPEG Group.\n"
    "  dcraw by Dave Coffin (camera RAW conversion, run as an external program).\n"
    "  LibRaw, Copyright (C) 2008-2020 LibRaw LLC (camera RAW decoding in-process).\n";

} // namespace

std::string usageText(const quovix::Options& s)
{
    const int size = std::snprintf(nullptr, 0, kUsageFormat, "Quovix", s.iterationCount,
                                   static_cast<int>(s.iteration1.mode), static_cast<int>(s.iteration2.mode),
                                   s.iteration1.exposureWeight, s.iteration2.exposureWeight,
                                   s.iteration1.contrastWeight, s.iteration2.contrastWeight,
                                   s.iteration1.saturationWeight, s.iteration2.saturationWeight,
                                   s.exposureThreshold, s.exposureWeightMode, s.gamma);
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), kUsageFormat, "Quovix", s.iterationCount,
                  static_cast<int>(s.iteration1.mode), static_cast<int>(s.iteration2.mode),
                  s.iteration1.exposureWeight, s.iteration2.exposureWeight, s.iteration1.contrastWeight,
                  s.iteration2.contrastWeight, s.iteration1.saturationWeight, s.iteration2.saturationWeight,
                  s.exposureThreshold, s.exposureWeightMode, s.gamma);
    text.resize(static_cast<size_t>(size));
    return text + "\n\n" + kExtendedText + "\n" + extraOptionsText();
}

std::string versionText()
{
    return kVersionText;
}

void printUsage(const quovix::Options& options)
{
    const std::string text = usageText(options);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void printVersion()
{
    std::fputs(kVersionText, stdout);
}
