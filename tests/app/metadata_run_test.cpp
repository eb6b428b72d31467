// Whole runs carry the first input's colour profile and camera metadata into
// TIFF and JPEG outputs, warn once about inputs whose profile differs, and
// leave both out under --noMetadata.
#include "image_fixture.h"
#include "dng_writer.h"
#include "imageio/icc_profile.h"
#include "imageio/icc_samples.h"
#include "imageio/image_samples.h"
#include "imageio/metadata_samples.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using metadata_samples::Picture;

class MetadataRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string photo = sourceDir() + "/examples/crusader/";
        // Two exposures of the same crop; a real photograph, small for speed.
        dark = metadata_samples::photoCrop(photo + "4.jpeg", 400, 700, 240, 180);
        bright = metadata_samples::photoCrop(photo + "5.jpeg", 400, 700, 240, 180);
    }

    // A camera's file: the profile, and the tags a camera writes.
    std::string input(const std::string& name, const Picture& picture, const IccProfile& profile, bool jpeg)
    {
        const std::string path = dir.file(name);
        if (jpeg)
            metadata_samples::writeJpeg(path, picture, profile, 95);
        else
            metadata_samples::writeInputTiff(path, picture, profile);
        metadata_samples::editMetadata(path, [&](Exiv2::Image& image) {
            Exiv2::ExifData& exif = image.exifData();
            exif["Exif.Image.Make"] = "Quovix Optics";
            exif["Exif.Image.Model"] = "QX-1 Mark II";
            exif["Exif.Image.Orientation"] = uint16_t(6);
            exif["Exif.Photo.DateTimeOriginal"] = "2024:05:06 07:08:09";
            exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        });
        return path;
    }

    CommandResult fuse(std::vector<std::string> args)
    {
        return runQuovix(args, dir.path(), {"TMPDIR=" + dir.path()});
    }

    static IccProfile profileOf(const std::string& path)
    {
        IccProfile profile;
        EXPECT_TRUE(readIccProfile(path, profile).ok()) << path;
        return profile;
    }

    static void expectCameraTags(const std::string& path)
    {
        const metadata_samples::Metadata m = metadata_samples::readMetadata(path);
        EXPECT_EQ(m.exifText("Exif.Image.Make"), "Quovix Optics") << path;
        EXPECT_EQ(m.exifText("Exif.Image.Model"), "QX-1 Mark II") << path;
        EXPECT_EQ(m.exifText("Exif.Image.Orientation"), "6") << path;
        EXPECT_EQ(m.exifText("Exif.Photo.DateTimeOriginal"), "2024:05:06 07:08:09") << path;
        EXPECT_EQ(m.exifText("Exif.Photo.ExposureTime"), "1/250") << path;
        EXPECT_EQ(m.exifText("Exif.Image.Software"), versionString()) << path;
    }

    TempDir dir;
    Picture dark;
    Picture bright;
    IccProfile wide = icc_samples::makeProfile();
};

TEST_F(MetadataRunTest, TiffAndJpegInputsGiveTheirProfileAndTagsToBothOutputKinds)
{
    for (const bool jpegInput : {false, true}) {
        const std::string ext = jpegInput ? ".jpg" : ".tif";
        const std::string first = input("first" + ext, dark, wide, jpegInput);
        const std::string second = input("second" + ext, bright, wide, jpegInput);
        for (const char* output : {"out.tif", "out.jpg"}) {
            CommandResult r = fuse({"-o", output, first, second});
            ASSERT_EQ(r.exitCode, 0) << r.output;
            EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
            EXPECT_EQ(profileOf(dir.file(output)), wide) << output << " from " << ext;
            expectCameraTags(dir.file(output));
        }
    }
}

TEST_F(MetadataRunTest, ProfileOverOneJpegSegmentSurvivesTheJpegOutput)
{
    icc_samples::ProfileOptions options;
    options.curveEntries = 12000;  // about 72 KB: two APP2 chunks
    const IccProfile large = icc_samples::makeProfile(options);
    ASSERT_GT(large.size(), 65519u);
    const std::string first = input("a.tif", dark, large, false);
    const std::string second = input("b.tif", bright, large, false);
    CommandResult r = fuse({"-o", "large.jpg", first, second});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(profileOf(dir.file("large.jpg")), large);
}

TEST_F(MetadataRunTest, DifferingProfilesGiveOneWarningNamingThem)
{
    icc_samples::ProfileOptions print;
    print.colorants = icc_samples::kPrintGamut;
    const std::string first = input("a.tif", dark, wide, false);
    const std::string other = input("b.tif", bright, icc_samples::makeProfile(print), false);
    const std::string none = input("c.tif", bright, {}, false);
    CommandResult r = fuse({"-o", "out.tif", first, other, none});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Warning: colour profile differs from the first input's in " + other + ", " + none + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(profileOf(dir.file("out.tif")), wide) << "the output keeps the first input's profile";
}

TEST_F(MetadataRunTest, NoMetadataLeavesBothOutAndTheSamplesAlone)
{
    const std::string first = input("a.jpg", dark, wide, true);
    const std::string second = input("b.jpg", bright, wide, true);
    ASSERT_EQ(fuse({"--noMetadata", "-o", "bare.tif", first, second}).exitCode, 0);
    ASSERT_EQ(fuse({"-o", "carried.tif", first, second}).exitCode, 0);
    EXPECT_TRUE(profileOf(dir.file("bare.tif")).empty());
    EXPECT_EQ(metadata_samples::readMetadata(dir.file("bare.tif")).exifText("Exif.Image.Make"), "<absent>");
    EXPECT_EQ(readFixtureTiff(dir.file("bare.tif")).data, readFixtureTiff(dir.file("carried.tif")).data);
}

TEST_F(MetadataRunTest, RawInputGivesItsCameraTagsFromTheRawFile)
{
    const std::string dng = dir.file("shot.dng");
    ASSERT_TRUE(writeTestDng(dng));
    std::vector<IccProfile> profiles;
    for (const char* engine : {"dcraw", "libraw"}) {
        SCOPED_TRACE(engine);
        if (std::string(engine) == "dcraw" && !programOnPath("dcraw"))
            continue;
        const std::string out = std::string("raw-") + engine + ".tif";
        CommandResult r = fuse({"--rawEngine", engine, "--raw", "-6 -w", "-o", out, "-b", "1", dng});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const metadata_samples::Metadata m = metadata_samples::readMetadata(dir.file(out));
        EXPECT_EQ(m.exifText("Exif.Image.Make"), "Quovix");
        EXPECT_EQ(m.exifText("Exif.Image.Model"), "Test Sensor");
        EXPECT_EQ(m.exifText("Exif.Image.Software"), versionString());
        profiles.push_back(profileOf(dir.file(out)));
        EXPECT_FALSE(profiles.back().empty()) << "the converter's colour profile";
    }
    // Each engine's own profile of its output space.
    if (profiles.size() == 2) {
        EXPECT_NE(profiles[0], profiles[1]);
    }
}

// Every output kind of a whole run reads without a warning in libtiff (every
// TIFF, BigTIFF included) and in exiftool's validation (the BigTIFF aside: it
// holds that one must be named .btf), whichever input comes first: a camera
// JPEG with the camera's maker note and placeholder description, or a TIFF
// whose description is another tool's JSON. Neither description is carried.
TEST_F(MetadataRunTest, EveryOutputKindReadsWithoutWarnings)
{
    const std::string camera = input("camera.jpg", dark, wide, true);
    const std::string cameraFile = sourceDir() + "/examples/focus_pcb/pcb_001.jpg";
    metadata_samples::editMetadata(camera, [&](Exiv2::Image& image) {
        image.setExifData(metadata_samples::readMetadata(cameraFile).exif);
    });
    const std::string json = input("json.tif", bright, wide, false);
    metadata_samples::editMetadata(json, [](Exiv2::Image& image) {
        image.exifData()["Exif.Image.ImageDescription"] = "{\"shape\": [180, 240, 3]}";
    });
    ASSERT_EQ(metadata_samples::readMetadata(camera).exifText("Exif.Image.ImageDescription"), "NOVATEK CAMERA");
    ASSERT_NE(metadata_samples::readMetadata(camera).exifText("Exif.Photo.MakerNote"), "<absent>");

    std::vector<std::string> validated;
    for (const std::string& first : {camera, json}) {
        const std::string second = first == camera ? json : camera;
        const std::string tag = first == camera ? "camera-" : "json-";
        const std::vector<std::vector<std::string>> runs = {
            {"-o", tag + "8.tif"}, {"-a", "16", "-o", tag + "16.tif"}, {"--bigtiff", "-o", tag + "big.tif"},
            {"-o", tag + "out.jpg"}};
        for (std::vector<std::string> args : runs) {
            const std::string output = dir.file(args.back());
            SCOPED_TRACE(output);
            args.insert(args.end(), {first, second});
            CommandResult r = fuse(args);
            ASSERT_EQ(r.exitCode, 0) << r.output;
            EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
            const bool tiff = output.substr(output.size() - 4) == ".tif";
            if (tiff) {
                EXPECT_EQ(metadata_samples::libtiffComplaints(output), 0);
            }
            if (output.find("big") == std::string::npos) {
                validated.push_back(output);
                const metadata_samples::Metadata m = metadata_samples::readMetadata(output);
                EXPECT_EQ(m.exifText("Exif.Image.ImageDescription"), "<absent>");
                EXPECT_EQ(m.exifText("Exif.Image.Software"), versionString());
            }
        }
    }
    if (!programOnPath("exiftool"))
        GTEST_SKIP() << "libtiff checked; exiftool is not installed (scripts/install-deps.sh installs it)";
    EXPECT_EQ(metadata_samples::exiftoolComplaints(validated), "");
}

} // namespace
