#include "fusion/combine_level.h"

#include "analysis/analyse_images.h"
#include "analysis/weight_maps.h"
#include "analysis/work_files.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_row_reader.h"
#include "support/memory.h"
#include "support/numeric.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace quovix {

namespace {

// Bands are at least this many rows (whole strips of the level files).
constexpr int kMinBandRows = 32;

// trunc(100 * weight), the product in single precision.
int32_t percentWeight(float weight)
{
    return truncFloat(100.0f * weight);
}

// trunc(threshold * 1920) for the noise-suppression limits (thresholds are
// stored as absolute values).
int suppressionLimit(float threshold)
{
    double limit = static_cast<double>(threshold) * 1920.0;
    if (!(limit < 2147483647.0))
        return limit == limit ? std::numeric_limits<int>::max() : 0;
    if (limit <= -2147483648.0)
        return std::numeric_limits<int>::min();
    return static_cast<int>(limit);
}

// The level files of one image; closed on every path.
struct LevelFiles {
    RunContext* run = nullptr;
    TIFF* laplacian = nullptr;
    TIFF* contrast = nullptr;
    TIFF* exposure = nullptr;
    TIFF* saturation = nullptr;
    TIFF* selection = nullptr;
    std::unique_ptr<TiffRowReader> laplacianRows, contrastRows, exposureRows, saturationRows, selectionRows;

    // Readers for the files opened.
    void attachReaders()
    {
        auto make = [](TIFF* t) { return t != nullptr ? std::make_unique<TiffRowReader>(t) : nullptr; };
        laplacianRows = make(laplacian);
        contrastRows = make(contrast);
        exposureRows = make(exposure);
        saturationRows = make(saturation);
        selectionRows = make(selection);
    }

    // Reading into one job's buffers from now on (one set per file kind,
    // since the kinds are read row by row in turn; selection weights come
    // alone and use the contrast set).
    void shareBuffers(StripBuffers* sets)
    {
        TiffRowReader* readers[] = {laplacianRows.get(), contrastRows.get(), exposureRows.get(),
                                    saturationRows.get()};
        if (selectionRows != nullptr)
            selectionRows->shareBuffers(sets[1]);
        for (int i = 0; i < 4; ++i) {
            if (readers[i] != nullptr)
                readers[i]->shareBuffers(sets[i]);
        }
    }

    ~LevelFiles()
    {
        for (TIFF* t : {laplacian, contrast, exposure, saturation, selection}) {
            if (t != nullptr)
                closeTiff(*run, t);
        }
    }
};

// Detail noise suppression during blending (Maximum rule under YCrCb only).
struct Suppression {
    bool active = false;
    bool luma = false;    // this level is within -nv
    bool chroma = false;  // this level is within -nw
    int lumaLimit = 0;
    int chromaLimit = 0;
    float lumaFactor = 0.0f;
    float chromaFactor = 0.0f;
};

struct Counters {
    int64_t picked = 0;
    int64_t lumaSmoothed = 0;
    int64_t chromaSmoothed = 0;
};

// What the images combined so far contribute to one pixel. Every rule of
// the combination is a sum or a first-wins choice in image order, so adding
// the images a group at a time gives the same result as all at once.
struct PixelSums {
    int64_t s0 = 0, s1 = 0, s2 = 0;  // samples times weights
    int64_t total = 0;               // weights
    int64_t u0 = 0, u1 = 0, u2 = 0;  // samples alone
    int32_t count = 0;               // images covering the pixel
    uint32_t best = 0;               // largest weight
    WorkPixel chosen{};              // the first image with it (the first valid one while every weight is zero)
};

// What the Maximum rule without detail suppression keeps between groups.
struct ChoiceSums {
    int32_t count;
    uint32_t best;
    WorkPixel chosen;
};

// Running sums between groups: whole, or only the choice when that is all
// the rule needs, so that more images fit a group.
struct BandSums {
    PixelSums* whole = nullptr;
    ChoiceSums* choice = nullptr;
};

// The result of one pixel from all images' sums; a pixel no image covers
// stays as it is (0, 0, 0, 0).
inline void finishPixel(const PixelSums& a, CombineMode mode, const Suppression& ns, Counters& counters,
                        WorkPixel& o)
{
    if (a.count == 0)
        return;
    if (mode != CombineMode::Maximum) {
        // Every valid weight zero: the valid images count equally.
        const bool plain = a.total == 0;
        const int64_t total = plain ? a.count : a.total;
        o.c0 = static_cast<int16_t>((plain ? a.u0 : a.s0) / total);
        o.c1 = static_cast<int16_t>((plain ? a.u1 : a.s1) / total);
        o.c2 = static_cast<int16_t>((plain ? a.u2 : a.s2) / total);
        o.alpha = kAlphaPresent;
        return;
    }
    ++counters.picked;
    const WorkPixel& c = a.chosen;
    o = c;
    if (!ns.active)
        return;
    const int64_t m0 = a.u0 / a.count;
    const int64_t m1 = a.u1 / a.count;
    const int64_t m2 = a.u2 / a.count;
    if (ns.luma && std::abs(static_cast<int>(c.c1)) < ns.lumaLimit) {
        ++counters.lumaSmoothed;
        float v = (1.0f - ns.lumaFactor) * static_cast<float>(m1) + static_cast<float>(c.c1) * ns.lumaFactor;
        o.c1 = static_cast<int16_t>(truncFloat(v));
    }
    int chromaMagnitude = std::abs(static_cast<int>(c.c0));
    if (std::abs(static_cast<int>(c.c2)) > chromaMagnitude)
        chromaMagnitude = std::abs(static_cast<int>(c.c2));
    if (ns.chroma && chromaMagnitude < ns.chromaLimit) {
        ++counters.chromaSmoothed;
        float v0 = static_cast<float>(c.c0) * ns.chromaFactor + static_cast<float>(m0) * (1.0f - ns.chromaFactor);
        float v2 = static_cast<float>(c.c2) * ns.chromaFactor + static_cast<float>(m2) * (1.0f - ns.chromaFactor);
        o.c0 = static_cast<int16_t>(truncFloat(v0));
        o.c2 = static_cast<int16_t>(truncFloat(v2));
    }
}

// Adds one band row of a group of n images (Laplacian and weight rows,
// `imageStride` pixels apart) to the running sums of that row, which the
// first group starts and the last one turns into `out`. With a single group
// the sums never leave the loop (`sums` may then be empty).
// With `chosen` (the row of a map of image indices, first image of the group
// `firstImage`), the index of the image whose detail the rule keeps is
// recorded too.
template <bool Track>
void foldBandRow(const WorkPixel* lap, const uint16_t* wgt, int64_t imageStride, int n, int width, bool firstGroup,
                 bool lastGroup, const BandSums& sums, CombineMode mode, const Suppression& ns, Counters& counters,
                 WorkPixel* out, uint16_t* chosen, int firstImage)
{
    for (int x = 0; x < width; ++x) {
        PixelSums a;
        if (!firstGroup && sums.choice != nullptr) {
            a.count = sums.choice[x].count;
            a.best = sums.choice[x].best;
            a.chosen = sums.choice[x].chosen;
        } else if (!firstGroup) {
            a = sums.whole[x];
        }
        for (int k = 0; k < n; ++k) {
            const WorkPixel& l = lap[k * imageStride + x];
            if (l.alpha == 0)
                continue;
            const int32_t w = wgt[k * imageStride + x];
            a.s0 += static_cast<int32_t>(l.c0) * w;
            a.s1 += static_cast<int32_t>(l.c1) * w;
            a.s2 += static_cast<int32_t>(l.c2) * w;
            a.total += w;
            a.u0 += l.c0;
            a.u1 += l.c1;
            a.u2 += l.c2;
            if (a.count == 0 || static_cast<uint32_t>(w) > a.best) {
                if constexpr (Track)
                    chosen[x] = static_cast<uint16_t>(firstImage + k);
                a.chosen = l;
                a.best = static_cast<uint32_t>(w) > a.best ? static_cast<uint32_t>(w) : a.best;
            }
            ++a.count;
        }
        if (lastGroup)
            finishPixel(a, mode, ns, counters, out[x]);
        else if (sums.choice != nullptr)
            sums.choice[x] = ChoiceSums{a.count, a.best, a.chosen};
        else
            sums.whole[x] = a;
    }
}

// Detail noise suppression of one level under the run's settings.
Suppression suppressionFor(const RunSettings& s, int level, CombineMode mode)
{
    const NoiseParams& np = s.noise;
    Suppression ns;
    ns.lumaLimit = suppressionLimit(np.lumaThreshold);
    ns.chromaLimit = suppressionLimit(np.chromaThreshold);
    ns.active = np.duringBlend && mode == CombineMode::Maximum && s.useYCrCb && (ns.lumaLimit > 0 || ns.chromaLimit > 0);
    ns.luma = level < np.lumaLevels;
    ns.chroma = level < np.chromaLevels;
    ns.lumaFactor = np.lumaFactor;
    ns.chromaFactor = np.chromaFactor;
    return ns;
}

// The weights a level is combined with.
struct LevelWeights {
    float contrast = 0.0f;
    float exposure = 0.0f;
    float saturation = 0.0f;
};

// One level of every image combined into the target, band by band and a
// group of images at a time (see combineLevel).
class LevelCombination {
public:
    LevelCombination(FusionRun& run, const ImageList& images, int level, const LevelWeights& weights,
                     CombineMode mode, WorkPixel* target, bool selection, uint16_t* chosenIndex)
        : run_(run), s_(run.settings), images_(images), level_(level), weights_(weights), mode_(mode),
          target_(target), selection_(selection), chosenIndex_(chosenIndex),
          ns_(suppressionFor(run.settings, level, mode)),
          width_(levelSize(run.canvas.width, level)), height_(levelSize(run.canvas.height, level)),
          n_(images.count()), rowPixels_(static_cast<size_t>(width_ > 0 ? width_ : 0)),
          // Without a kept contrast file the weights come from the Laplacian
          // rows themselves, of which the file would be a copy.
          contrastFromLevel_(weights.contrast > 0.0f && !writesContrastFiles(run.settings)),
          choiceOnly_(mode == CombineMode::Maximum && !ns_.active), files_(static_cast<size_t>(n_))
    {
    }

    Status run()
    {
        std::memset(target_, 0, rowPixels_ * height_ * sizeof(WorkPixel));
        if (chosenIndex_ != nullptr)
            std::memset(chosenIndex_, 0, rowPixels_ * height_ * sizeof(uint16_t));
        const int64_t startMs = clockMs();
        if (s_.verbosity >= 2)
            run_.console.print("Combining %d images at level %d (%d x %d), C/E/S wgts=%.2f,%.2f,%.2f, lapl mode=%s\n",
                               n_, level_, width_, height_, weights_.contrast, weights_.exposure, weights_.saturation,
                               combineModeName(mode_));
        QVX_TRY(openFiles());
        if (n_ == 0 || width_ <= 0 || height_ <= 0) {
            files_.clear();
            return Status();
        }
        planGroups();
        QVX_TRY(allocateBuffers());
        if (groups_ > 1 && s_.verbosity >= 2)
            run_.console.print("Combining in bands of %d rows, %d images at a time\n", bandRows_, groupSize_);
        QVX_TRY(combineBands());
        reportSuppression();
        files_.clear();
        if (s_.showTiming)
            printElapsed(run_.console, "Get Laplacian", startMs);
        return Status();
    }

private:
    // Every image's level and weight files. Rows are read into buffers of
    // the level's width: a file whose rows hold anything else is refused
    // first.
    Status openFiles()
    {
        for (int k = 0; k < n_; ++k) {
            const std::string& path = images_[k].path;
            LevelFiles& f = files_[static_cast<size_t>(k)];
            f.run = &run_;
            auto open = [&](LevelKind kind, int samples, TIFF*& tiff) -> Status {
                const std::string name = run_.levelFiles.path(path, kind, level_);
                QVX_TRY(openTiff(run_, name, "r", tiff));
                return checkScratchLayout(tiff, name, width_, samples);
            };
            QVX_TRY(open(LevelKind::Laplacian, 4, f.laplacian));
            // A masked image's contrast weights are in its file.
            if (weights_.contrast > 0.0f && (!contrastFromLevel_ || run_.motion.files.count(path) != 0))
                QVX_TRY(open(LevelKind::Contrast, 1, f.contrast));
            if (weights_.exposure > 0.0f)
                QVX_TRY(open(LevelKind::Exposure, 1, f.exposure));
            if (weights_.saturation > 0.0f)
                QVX_TRY(open(LevelKind::Saturation, 1, f.saturation));
            if (selection_)
                QVX_TRY(open(LevelKind::Selection, 1, f.selection));
            f.attachReaders();
            weightFiles_ = (f.contrast != nullptr) + (f.exposure != nullptr) + (f.saturation != nullptr) +
                           (f.selection != nullptr);
        }
        return Status();
    }

    // Bands of whole strips, so that each strip is decoded once, and groups
    // of images within the memory budget.
    void planGroups()
    {
        const int stripRows = static_cast<int>(files_[0].laplacianRows->rowsPerStrip());
        bandRows_ = std::min((kMinBandRows + stripRows - 1) / stripRows * stripRows, height_);
        imageStride_ = static_cast<int64_t>(bandRows_) * width_;
        // Per image of a group: two band buffers; per reading job: a coded and
        // a decoded strip of each file, and three weight rows.
        const size_t perImage = 2 * static_cast<size_t>(imageStride_) * (sizeof(WorkPixel) + sizeof(uint16_t));
        const size_t perJob = 2 * static_cast<size_t>(std::min(stripRows, height_)) * rowPixels_ *
                                  (sizeof(WorkPixel) + weightFiles_ * sizeof(uint16_t)) +
                              3 * rowPixels_ * sizeof(uint16_t);
        const size_t sumsBytes =
            static_cast<size_t>(imageStride_) * (choiceOnly_ ? sizeof(ChoiceSums) : sizeof(PixelSums));
        // At least one image per worker, so that every worker decodes; groups
        // only where they take less memory than all images at once.
        groupSize_ = n_;
        const size_t allAtOnce = static_cast<size_t>(n_) * (perImage + perJob);
        if (allAtOnce > run_.combineBudget) {
            const size_t room = run_.combineBudget > sumsBytes ? run_.combineBudget - sumsBytes : 0;
            groupSize_ = static_cast<int>(std::clamp<size_t>(room / (perImage + perJob),
                                                             std::min(n_, run_.pool.workers()),
                                                             static_cast<size_t>(n_)));
            if (sumsBytes + static_cast<size_t>(groupSize_) * (perImage + perJob) >= allAtOnce)
                groupSize_ = n_;
        }
        groups_ = (n_ + groupSize_ - 1) / groupSize_;
    }

    Status allocateBuffers()
    {
        for (int i = 0; i < 2; ++i) {
            QVX_TRY(lapBands_[i].allocate(run_.console, static_cast<size_t>(groupSize_) * imageStride_));
            QVX_TRY(weightBands_[i].allocate(run_.console, static_cast<size_t>(groupSize_) * imageStride_));
        }
        QVX_TRY(weightRows_.allocate(run_.console, 3 * static_cast<size_t>(groupSize_) * rowPixels_, true));
        if (groups_ > 1 && choiceOnly_)
            QVX_TRY(choiceSums_.allocate(run_.console, static_cast<size_t>(imageStride_)));
        else if (groups_ > 1)
            QVX_TRY(wholeSums_.allocate(run_.console, static_cast<size_t>(imageStride_)));
        stripBuffers_ = std::vector<StripBuffers>(4 * static_cast<size_t>(groupSize_));
        return Status();
    }

    // Rows [first, end) of image k by reading job j into band buffer `slot`.
    Status readImageBand(int k, int j, int slot, int first, int end)
    {
        LevelFiles& f = files_[static_cast<size_t>(k)];
        f.shareBuffers(&stripBuffers_[4 * static_cast<size_t>(j)]);
        WorkPixel* lapImage = lapBands_[slot].get() + j * imageStride_;
        uint16_t* weightImage = weightBands_[slot].get() + j * imageStride_;
        uint16_t* contrastRow = weightRows_.get() + (3 * static_cast<size_t>(j)) * rowPixels_;
        uint16_t* exposureRow = contrastRow + rowPixels_;
        uint16_t* saturationRow = exposureRow + rowPixels_;
        for (int r = first; r < end; ++r) {
            WorkPixel* row = lapImage + static_cast<int64_t>(r - first) * width_;
            QVX_TRY(f.laplacianRows->readRow(row, r));
            removeLaplacianOffset(row, rowPixels_);
            if (f.selection != nullptr) {
                QVX_TRY(f.selectionRows->readRow(weightImage + static_cast<int64_t>(r - first) * width_, r));
                continue;
            }
            if (f.contrast != nullptr)
                QVX_TRY(f.contrastRows->readRow(contrastRow, r));
            else if (contrastFromLevel_)
                contrastWeights(row, rowPixels_, s_.useYCrCb, contrastRow);
            if (f.exposure != nullptr)
                QVX_TRY(f.exposureRows->readRow(exposureRow, r));
            if (f.saturation != nullptr)
                QVX_TRY(f.saturationRows->readRow(saturationRow, r));
            combineWeightRow(contrastRow, weights_.contrast, exposureRow, weights_.exposure, saturationRow,
                             weights_.saturation, width_, weightImage + static_cast<int64_t>(r - first) * width_);
        }
        return Status();
    }

    // Part `part` of `parts` of the band rows [bandFirst, bandEnd) of group
    // `group` (`count` images) in band buffer `slot`, added to the sums.
    void foldRows(int group, int count, int slot, int bandFirst, int bandEnd, int part, int parts)
    {
        const int rows = bandEnd - bandFirst;
        const int first = bandFirst + rows * part / parts;
        const int end = bandFirst + rows * (part + 1) / parts;
        Counters local;
        for (int r = first; r < end; ++r) {
            const int64_t offset = static_cast<int64_t>(r - bandFirst) * width_;
            BandSums rowSums;
            if (groups_ > 1 && choiceOnly_)
                rowSums.choice = choiceSums_.get() + offset;
            else if (groups_ > 1)
                rowSums.whole = wholeSums_.get() + offset;
            const WorkPixel* lap = lapBands_[slot].get() + offset;
            const uint16_t* wgt = weightBands_[slot].get() + offset;
            WorkPixel* out = target_ + static_cast<int64_t>(r) * width_;
            if (chosenIndex_ != nullptr)
                foldBandRow<true>(lap, wgt, imageStride_, count, width_, group == 0, group == groups_ - 1, rowSums,
                                  mode_, ns_, local, out, chosenIndex_ + static_cast<int64_t>(r) * width_,
                                  group * groupSize_);
            else
                foldBandRow<false>(lap, wgt, imageStride_, count, width_, group == 0, group == groups_ - 1, rowSums,
                                   mode_, ns_, local, out, nullptr, 0);
        }
        std::lock_guard<std::mutex> lock(countersLock_);
        counters_.picked += local.picked;
        counters_.lumaSmoothed += local.lumaSmoothed;
        counters_.chromaSmoothed += local.chromaSmoothed;
    }

    // Step i reads item i (band i / groups, group i % groups) into slot i & 1
    // and adds item i - 1 from the other slot.
    Status combineBands()
    {
        // Folding is cut finer than one part per worker: the reading jobs
        // take unequal times, and the thread done first folds the rest.
        const int foldJobs = run_.pool.balancedJobs(bandRows_, 4);
        const int bands = (height_ + bandRows_ - 1) / bandRows_;
        const int64_t items = static_cast<int64_t>(bands) * groups_;
        for (int64_t i = 0; i <= items; ++i) {
            const bool reading = i < items;
            const bool folding = i > 0;
            const int readFirst = static_cast<int>(i / groups_) * bandRows_;
            const int readEnd = std::min(readFirst + bandRows_, height_);
            const int readImage = static_cast<int>(i % groups_) * groupSize_;
            const int readCount = reading ? std::min(groupSize_, n_ - readImage) : 0;
            const int foldGroup = static_cast<int>((i - 1) % groups_);
            const int foldFirst = folding ? static_cast<int>((i - 1) / groups_) * bandRows_ : 0;
            const int foldEnd = std::min(foldFirst + bandRows_, height_);
            const int foldCount = std::min(groupSize_, n_ - foldGroup * groupSize_);
            const int readSlot = static_cast<int>(i & 1);
            const int jobs = readCount + (folding ? foldJobs : 0);
            QVX_TRY(run_.pool.run(jobs, [&](int job) -> Status {
                if (job < readCount)
                    return readImageBand(readImage + job, job, readSlot, readFirst, readEnd);
                foldRows(foldGroup, foldCount, 1 - readSlot, foldFirst, foldEnd, job - readCount, foldJobs);
                return Status();
            }));
        }
        return Status();
    }

    void reportSuppression()
    {
        if (!(ns_.active && s_.verbosity >= 1))
            return;
        // Nothing decided by the Maximum rule (an empty level): report 0 % rather than 0/0.
        float picked = static_cast<float>(counters_.picked);
        float luma = counters_.picked > 0 ? 100.0f * static_cast<float>(counters_.lumaSmoothed) / picked : 0.0f;
        float chroma = counters_.picked > 0 ? 100.0f * static_cast<float>(counters_.chromaSmoothed) / picked : 0.0f;
        run_.console.print("NR (luma, color) = %.1f%%, %.1f%%\n", luma, chroma);
    }

    FusionRun& run_;
    const RunSettings& s_;
    const ImageList& images_;
    const int level_;
    const LevelWeights weights_;
    const CombineMode mode_;
    WorkPixel* const target_;
    const bool selection_;         // weights from the selection ("w") files
    uint16_t* const chosenIndex_;  // null, or the index of the image kept at every pixel
    const Suppression ns_;
    const int width_;
    const int height_;
    const int n_;
    const size_t rowPixels_;
    const bool contrastFromLevel_;
    const bool choiceOnly_;
    int weightFiles_ = 0;
    int bandRows_ = 0;
    int64_t imageStride_ = 0;
    int groupSize_ = 0;
    int groups_ = 0;
    // Closed after the buffers go (declared first), as on every path.
    std::vector<LevelFiles> files_;
    HeapBuffer<WorkPixel> lapBands_[2];
    HeapBuffer<uint16_t> weightBands_[2];
    HeapBuffer<uint16_t> weightRows_;  // contrast, exposure, saturation rows per reading job
    HeapBuffer<PixelSums> wholeSums_;
    HeapBuffer<ChoiceSums> choiceSums_;
    std::vector<StripBuffers> stripBuffers_;
    Counters counters_;
    std::mutex countersLock_;
};

} // namespace

void combineWeightRow(const uint16_t* contrastRow, float contrastWeight, const uint16_t* exposureRow,
                      float exposureWeight, const uint16_t* saturationRow, float saturationWeight, int width,
                      uint16_t* outRow)
{
    // 64-bit products wrapped to 32 bits: the same result as 32-bit signed
    // arithmetic, without overflow for absurd weights.
    const int64_t e = percentWeight(exposureWeight);
    const int64_t s = percentWeight(saturationWeight);
    const int64_t c = percentWeight(contrastWeight);
    for (int x = 0; x < width; ++x) {
        int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(e * exposureRow[x] + s * saturationRow[x] +
                                                                  c * contrastRow[x]));
        outRow[x] = static_cast<uint16_t>(sum / 100);
    }
}

// The level is read band by band, each band in groups of images: one batch
// of jobs decodes the band rows of the next group (each image's files in one
// job) while other jobs add the group read before to the band's running sums,
// so decoding and combination overlap on the workers; the groups alternate
// between two buffers. Few images make one group, and the sums stay in
// registers; beyond the memory budget the groups shrink, so memory does not
// grow with the number of images.
Status combineLevel(FusionRun& run, const ImageList& images, int level, float contrastWeight, float exposureWeight,
                    float saturationWeight, CombineMode mode, WorkPixel* target, bool selection,
                    uint16_t* chosenIndex)
{
    LevelCombination combination(run, images, level, LevelWeights{contrastWeight, exposureWeight, saturationWeight},
                                 mode, target, selection, chosenIndex);
    return combination.run();
}

} // namespace quovix
