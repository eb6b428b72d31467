// Fuzz target: a transform file of --alignLoad, loaded as the run loads it:
//   byte 0: the number of inputs (1 + byte % 8),
//   byte 1: bit 0 a half-size preview run, bit 1 a verbose run (a line per
//           input describing its motion),
//   byte 2: the canvas side (1 + byte) pixels,
//   bytes 3.. the file.
// The text is also parsed on its own: whatever parses must be written back
// and parsed again to the same paths and bit-identical matrices, or the
// target aborts, as a finding.
#include "alignment/transform_file.h"
#include "analysis/fusion_run.h"
#include "fusion/align_inputs.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace quovix;

constexpr size_t kHeaderBytes = 3;

[[noreturn]] void finding(const std::string& what)
{
    std::fprintf(stderr, "transform_file: %s\n", what.c_str());
    std::abort();
}

bool sameEntries(const std::vector<align::TransformEntry>& a, const std::vector<align::TransformEntry>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].path != b[i].path ||
            std::memcmp(a[i].toReference.data(), b[i].toReference.data(), sizeof(align::Homography)) != 0)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::resetOutcome();
    if (size < kHeaderBytes)
        return 0;
    const size_t inputCount = 1 + data[0] % 8;
    const std::string text(reinterpret_cast<const char*>(data + kHeaderBytes), size - kHeaderBytes);
    const std::string path = fuzz::writeInput("transforms.txt", data + kHeaderBytes, size - kHeaderBytes);

    Options options = fuzz::runOptions();
    options.alignLoad = path;
    options.scaleFactor = (data[1] & 1) != 0 ? 0.5f : 1.0f;
    options.verbosity = (data[1] & 2) != 0 ? 1 : 0;
    FusionRun run(options);
    run.canvas = ImageRegion{0, 0, 1 + data[2], 1 + data[2]};
    std::vector<std::string> inputs;
    for (size_t i = 0; i < inputCount; ++i)
        inputs.push_back("frame" + std::to_string(i) + ".tif");
    std::vector<align::Homography> toReference(inputCount, align::identityHomography());
    std::vector<std::string> report;
    fuzz::noteOutcome("load", loadTransforms(run, inputs, toReference, report));

    std::vector<align::TransformEntry> parsed;
    std::string error;
    if (!align::parseTransforms(text, parsed, error)) {
        fuzz::noteOutcome("parse", error);
        return 0;
    }
    fuzz::noteOutcome("parse", "ok, " + std::to_string(parsed.size()) + " transforms");
    std::string written;
    if (!align::formatTransforms(parsed, written, error))
        finding("parsed transforms cannot be written back: " + error);
    std::vector<align::TransformEntry> again;
    if (!align::parseTransforms(written, again, error))
        finding("written transforms do not parse: " + error);
    if (!sameEntries(parsed, again))
        finding("transforms changed in a round trip");
    return 0;
}
