// Whole runs on real photographs whose output files must stay byte for byte
// what they were when these values were recorded (before the library
// refactoring), for any worker count. A change here means the program's
// output changed: that needs a reason, never a new golden value by default.
// The values were recorded before outputs carried the first input's camera
// metadata, so the byte comparison runs with --noMetadata, and a second check
// shows that the metadata changes no sample.
#include "image_fixture.h"
#include "imageio/image_samples.h"
#include "sha256.h"
#include "test_util.h"

#include <jpeglib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct GoldenRun {
    const char* name;
    std::vector<std::string> args;  // "CROP/" and "PCB/" stand for the sample folders, "OUT" for the output stem
    const char* sha256;
};

const GoldenRun kRuns[] = {
    {"default", {"-o", "OUT.tif", "CROP/crusader1.tif", "CROP/crusader2.tif", "CROP/crusader4.tif",
                 "CROP/crusader5.tif", "CROP/crusader6.tif"},
     "5ee4b7e04b8ee5f08625d8ec84c4cee7e220fbad50cc1477f05ea3d7cbf129b7"},
    {"focusOnePass", {"-p", "1", "--wMode", "1", "--wContrast", "1", "--wExposure", "0", "-c", "-o", "OUT.tif",
                      "CROP/crusader1.tif", "CROP/crusader2.tif", "CROP/crusader4.tif", "CROP/crusader5.tif",
                      "CROP/crusader6.tif"},
     "c7e209078b91de6234bedf440447c98184dfb68c747dbffd186d6712e5c0914b"},
    {"deep16Deflate", {"-a", "16", "--compression", "DEFLATE", "-o", "OUT.tif", "CROP/crusader1.tif",
                       "CROP/crusader4.tif", "CROP/crusader6.tif"},
     "1ec6bbbd868322e44ec207dd8aeb98d8180758aca7e28e87d1afe3244f2b79a9"},
    {"jpegOutput", {"-j", "95", "-o", "OUT.jpg", "CROP/crusader1.tif", "CROP/crusader4.tif", "CROP/crusader5.tif"},
     "23250115dbfcc06ea2f7433b8aa67f676feb6ee8c13646204c304e7204b4cd3c"},
    {"bigTiffBracketing", {"--bigtiff", "-b", "1", "-o", "OUT.tif", "CROP/crusader2.tif", "CROP/crusader4.tif"},
     "08fc4151be7241fd88b4dc0b973dd0dc38b9a00a2c2573ca2d00b19beb3377a7"},
    {"noiseAndLevels", {"-nl", "0.5", "-nc", "0.5", "-nb", "--gLevelsBP", "0.05", "--gLevelsWP", "0.95", "-o",
                        "OUT.tif", "CROP/crusader1.tif", "CROP/crusader4.tif", "CROP/crusader6.tif"},
     "de0631abd97095230a9ac7552d5a852b4bd272a9c81ebe5267ccc60139ea551f"},
    {"wrapSaturationHybrid", {"-w", "-l", "-1", "--wSaturation2", "0.3", "--wMode2", "2", "-u", "2", "-z", "1", "-t",
                              "0.3", "-o", "OUT.tif", "CROP/crusader1.tif", "CROP/crusader2.tif",
                              "CROP/crusader5.tif"},
     "750173d74285e6ff10e85d6102ea2e7e510af49b2d60be058b57e1d91abfeffa"},
    {"packBitsCurve", {"--compression", "PACKBITS", "--cBr", "0.5", "--cCo", "-1", "-k", "1.8", "-e", "0.1", "-o",
                       "OUT.tif", "CROP/crusader1.tif", "CROP/crusader2.tif", "CROP/crusader4.tif",
                       "CROP/crusader5.tif"},
     "db9cd33888a60dd64267bbe0e5c3608f0065f385984ced8f6ea52ee7682db2ee"},
    {"preview", {"--gConstrain", "600x400", "-o", "OUT.jpg", "PCB/pcb_001.jpg", "PCB/pcb_004.jpg", "PCB/pcb_007.jpg"},
     "34be47bf49d5d7405d043d8ecb5a3aee327a9386fc8e222b4ac0c4a852930274"},
    {"fullSizeFocus", {"-c", "-o", "OUT.tif", "PCB/pcb_002.jpg", "PCB/pcb_005.jpg"},
     "31261c6decdafba559d0158885645b6fd96f7b934166b72d462ea2680ce2527d"},
};

std::string expand(const std::string& arg, const std::string& outStem)
{
    const std::string crop = sourceDir() + "/tests/data/crusader_crop/";
    const std::string pcb = sourceDir() + "/examples/focus_pcb/";
    if (arg.rfind("CROP/", 0) == 0)
        return crop + arg.substr(5);
    if (arg.rfind("PCB/", 0) == 0)
        return pcb + arg.substr(4);
    if (arg.rfind("OUT", 0) == 0)
        return outStem + arg.substr(3);
    return arg;
}

class GoldenOutputTest : public ::testing::TestWithParam<GoldenRun> {};

// Runs one golden command line in `dir`; returns the output path.
std::string runGolden(const GoldenRun& golden, const TempDir& dir, const char* workers, bool metadata)
{
    std::vector<std::string> args;
    if (!metadata)
        args.push_back("--noMetadata");
    for (const std::string& a : golden.args)
        args.push_back(expand(a, dir.file("out")));
    CommandResult result =
        runQuovix(args, dir.path(), {"TMPDIR=" + dir.path(), std::string("NUMBER_OF_PROCESSORS=") + workers});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    return expand(golden.args[std::find(golden.args.begin(), golden.args.end(), "-o") - golden.args.begin() + 1],
                  dir.file("out"));
}

// Decoded samples of a TIFF or JPEG output.
std::vector<uint16_t> samplesOf(const std::string& path)
{
    if (path.size() > 4 && path.substr(path.size() - 4) == ".jpg") {
        jpeg_decompress_struct info;
        jpeg_error_mgr errors;
        info.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&info);
        FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            return {};
        jpeg_stdio_src(&info, file);
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        std::vector<uint16_t> samples;
        std::vector<unsigned char> row(static_cast<size_t>(info.output_width) * info.output_components);
        while (info.output_scanline < info.output_height) {
            JSAMPROW rows[1] = {row.data()};
            jpeg_read_scanlines(&info, rows, 1);
            samples.insert(samples.end(), row.begin(), row.end());
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return samples;
    }
    return readFixtureTiff(path).data;
}

TEST_P(GoldenOutputTest, OutputBytesMatchTheRecordedValue)
{
    const GoldenRun& golden = GetParam();
    for (const char* workers : {"1", "3"}) {
        TempDir dir;
        const std::string output = runGolden(golden, dir, workers, false);
        EXPECT_EQ(sha256OfFile(output), golden.sha256) << golden.name << " with " << workers << " workers";
    }
}

TEST_P(GoldenOutputTest, CarriedMetadataChangesNoSample)
{
    const GoldenRun& golden = GetParam();
    TempDir bare, carried;
    const std::vector<uint16_t> without = samplesOf(runGolden(golden, bare, "2", false));
    const std::vector<uint16_t> with = samplesOf(runGolden(golden, carried, "2", true));
    ASSERT_FALSE(without.empty());
    EXPECT_TRUE(with == without) << golden.name;
}

INSTANTIATE_TEST_SUITE_P(RealPhotographs, GoldenOutputTest, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<GoldenRun>& info) { return std::string(info.param.name); });

TEST(Sha256, KnownDigests)
{
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(sha256Hex(std::vector<uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256Hex(std::vector<uint8_t>(two.begin(), two.end())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace
