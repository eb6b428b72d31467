#include "imageio/camera_metadata.h"
#include "imageio/metadata_source.h"

#include "dng_writer.h"
#include "icc_samples.h"
#include "image_samples.h"
#include "imageio/icc_profile.h"
#include "imageio/raw_convert.h"
#include "metadata_samples.h"
#include "quovix/version.h"
#include "test_util.h"

#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

using metadata_samples::Metadata;
using metadata_samples::Picture;
using quovix::copyCameraMetadata;
using quovix::IccProfile;
using quovix::MetadataError;
using quovix::MetadataStatus;

namespace {

const char kVersion[] = QUOVIX_VERSION;

std::set<std::string> folderEntries(const std::string& folder)
{
    std::set<std::string> names;
    DIR* d = opendir(folder.c_str());
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names.insert(n);
    }
    closedir(d);
    return names;
}

// What a camera leaves in its files, with the size of the picture it took.
void setCameraExif(Exiv2::Image& image, int width, int height)
{
    Exiv2::ExifData& exif = image.exifData();
    exif["Exif.Image.Make"] = "Quovix Optics";
    exif["Exif.Image.Model"] = "QX-1 Mark II";
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Image.Software"] = "Firmware 1.0";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:06 07:08:09";
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
    exif["Exif.Photo.FNumber"] = Exiv2::URational(56, 10);
    exif["Exif.Photo.PixelXDimension"] = uint32_t(width);
    exif["Exif.Photo.PixelYDimension"] = uint32_t(height);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = "48/1 51/1 2400/100";
}

// The pixel size tags are for compressed files: a TIFF output has none.
void expectCameraExif(const Metadata& m, const Picture& output, bool tiff)
{
    EXPECT_EQ(m.exifText("Exif.Image.Make"), "Quovix Optics");
    EXPECT_EQ(m.exifText("Exif.Image.Model"), "QX-1 Mark II");
    EXPECT_EQ(m.exifText("Exif.Image.Orientation"), "6");
    EXPECT_EQ(m.exifText("Exif.Photo.DateTimeOriginal"), "2024:05:06 07:08:09");
    EXPECT_EQ(m.exifText("Exif.Photo.ExposureTime"), "1/250");
    EXPECT_EQ(m.exifText("Exif.Photo.FNumber"), "56/10");
    EXPECT_EQ(m.exifText("Exif.GPSInfo.GPSLatitude"), "48/1 51/1 2400/100");
    EXPECT_EQ(m.exifText("Exif.Image.Software"), std::string("Quovix ") + kVersion);
    EXPECT_EQ(m.exifText("Exif.Photo.PixelXDimension"), tiff ? "<absent>" : std::to_string(output.width));
    EXPECT_EQ(m.exifText("Exif.Photo.PixelYDimension"), tiff ? "<absent>" : std::to_string(output.height));
    EXPECT_EQ(m.groupCount("Thumbnail"), 0) << "the input's thumbnail shows another picture";
}

// An output file with what must not change under the metadata write. For a
// JPEG the "strips" are its coded tables and scan in one piece.
struct OutputState {
    std::vector<unsigned char> samples;
    std::vector<std::string> strips;
    std::string layout;
    IccProfile profile;
};

OutputState outputState(const std::string& path, bool tiff)
{
    OutputState s;
    s.samples = tiff ? metadata_samples::tiffSamples(path) : metadata_samples::jpegSamples(path);
    if (tiff) {
        s.strips = metadata_samples::tiffStrips(path);
        s.layout = metadata_samples::tiffLayout(path);
    } else {
        s.strips = {metadata_samples::jpegCodedData(path)};
    }
    const MetadataStatus status = quovix::readIccProfile(path, s.profile);
    EXPECT_TRUE(status.ok()) << status.detail;
    return s;
}

void expectSameImage(const OutputState& before, const std::string& path, bool tiff)
{
    const OutputState after = outputState(path, tiff);
    EXPECT_FALSE(before.samples.empty());
    EXPECT_TRUE(after.samples == before.samples) << "decoded samples changed";
    EXPECT_FALSE(before.strips.empty() || before.strips[0].empty());
    EXPECT_TRUE(after.strips == before.strips) << "stored strips (TIFF) or tables and scan (JPEG) changed";
    EXPECT_EQ(after.layout, before.layout);
    EXPECT_TRUE(after.profile == before.profile) << "profile " << before.profile.size() << " bytes before, "
                                                 << after.profile.size() << " after";
    if (tiff) {
        EXPECT_EQ(metadata_samples::tiffDirectories(path), 1) << "no thumbnail or preview page";
    }
}

enum class OutputKind { Tiff8, Tiff16, Jpeg };

class CameraMetadataTest : public FreshSettingsTest {
protected:
    void SetUp() override
    {
        FreshSettingsTest::SetUp();
        input = metadata_samples::photoCrop(sourceDir() + "/examples/crusader/2.jpeg", 300, 600, 480, 360);
        // The fused result is smaller than the inputs, as after alignment.
        output = metadata_samples::photoCrop(sourceDir() + "/examples/crusader/2.jpeg", 316, 620, 448, 320);
        ASSERT_EQ(output.rgb.size(), size_t(448) * 320 * 3);
    }

    std::string jpegInput(const IccProfile& profile)
    {
        const std::string path = dir.file("input.jpg");
        metadata_samples::writeJpeg(path, input, profile);
        const Picture thumb = metadata_samples::photoCrop(sourceDir() + "/examples/crusader/2.jpeg", 0, 0, 160, 120);
        const std::string thumbJpeg = samples::encodeJpeg(thumb.rgb, 160, 120, 3, JCS_RGB, 80);
        metadata_samples::editMetadata(path, [&](Exiv2::Image& image) {
            setCameraExif(image, input.width, input.height);
            Exiv2::ExifThumb(image.exifData())
                .setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(thumbJpeg.data()), long(thumbJpeg.size()));
        });
        return path;
    }

    std::string tiffInput(const IccProfile& profile)
    {
        const std::string path = dir.file("input.tif");
        metadata_samples::writeInputTiff(path, input, profile);
        metadata_samples::editMetadata(path, [&](Exiv2::Image& image) { setCameraExif(image, input.width, input.height); });
        return path;
    }

    // An output the way the program writes it, with the first input's profile.
    std::string writeOutput(OutputKind kind, const IccProfile& profile, const std::string& name = "out")
    {
        const std::string path = dir.file(name + (kind == OutputKind::Jpeg ? ".jpg" : ".tif"));
        if (kind == OutputKind::Jpeg) {
            metadata_samples::writeJpeg(path, output, profile);
        } else {
            settings.compression = kind == OutputKind::Tiff8 ? Compression::Lzw : Compression::Deflate;
            metadata_samples::writeOutputTiff(run, path, output, kind == OutputKind::Tiff8 ? 8 : 16, profile);
        }
        return path;
    }

    TempDir dir;
    Picture input;
    Picture output;
    IccProfile wide = icc_samples::makeProfile();
};

TEST_F(CameraMetadataTest, OutputsTakeOverProfileAndCameraTagsWithPixelsUnchanged)
{
    for (const bool jpegSource : {false, true}) {
        const std::string source = jpegSource ? jpegInput(wide) : tiffInput(wide);
        if (jpegSource) {
            ASSERT_GT(metadata_samples::readMetadata(source).groupCount("Thumbnail"), 0);
        }
        // The profile as the input classification reads it.
        IccProfile first;
        ASSERT_TRUE(quovix::readIccProfile(source, first).ok());
        ASSERT_TRUE(first == wide);

        for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Tiff16, OutputKind::Jpeg}) {
            SCOPED_TRACE(std::string(jpegSource ? "JPEG" : "TIFF") + " input, output kind " +
                         std::to_string(static_cast<int>(kind)));
            const bool tiff = kind != OutputKind::Jpeg;
            const std::string target = writeOutput(kind, first);
            const OutputState before = outputState(target, tiff);
            ASSERT_TRUE(before.profile == wide);

            const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
            ASSERT_TRUE(status.ok()) << status.detail;

            expectSameImage(before, target, tiff);
            expectCameraExif(metadata_samples::readMetadata(target), output, tiff);
        }
    }
}

// The JPEG export re-encodes the finished TIFF: it can take the profile and
// the metadata from that TIFF instead of going back to the first input.
TEST_F(CameraMetadataTest, JpegExportTakesOverWhatTheFinishedTiffCarries)
{
    const std::string source = jpegInput(wide);
    const std::string tiff = writeOutput(OutputKind::Tiff16, wide);
    ASSERT_TRUE(copyCameraMetadata(source, tiff, kVersion).ok());

    IccProfile fromTiff;
    ASSERT_TRUE(quovix::readIccProfile(tiff, fromTiff).ok());
    const std::string jpeg = writeOutput(OutputKind::Jpeg, fromTiff);
    const OutputState before = outputState(jpeg, false);
    const MetadataStatus status = copyCameraMetadata(tiff, jpeg, kVersion);
    ASSERT_TRUE(status.ok()) << status.detail;
    expectSameImage(before, jpeg, false);
    EXPECT_TRUE(before.profile == wide);
    const Metadata m = metadata_samples::readMetadata(jpeg);
    expectCameraExif(m, output, false);
    // Nothing of the TIFF's own storage or canvas position comes along.
    for (const char* key : {"Exif.Image.XPosition", "Exif.Image.StripOffsets", "Exif.Image.BitsPerSample",
                            "Exif.Image.Compression", "Exif.Image.ExtraSamples", "Exif.Image.InterColorProfile"})
        EXPECT_EQ(m.exifText(key), "<absent>") << key;
}

TEST_F(CameraMetadataTest, MultiChunkProfileSurvivesTheMetadataWrite)
{
    icc_samples::ProfileOptions large;
    large.curveEntries = 25000;  // three JPEG chunks
    const IccProfile big = icc_samples::makeProfile(large);
    const std::string source = jpegInput(big);
    IccProfile first;
    ASSERT_TRUE(quovix::readIccProfile(source, first).ok());
    ASSERT_TRUE(first == big);
    for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Jpeg}) {
        const std::string target = writeOutput(kind, first);
        const OutputState before = outputState(target, kind != OutputKind::Jpeg);
        const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        expectSameImage(before, target, kind != OutputKind::Jpeg);
        IccProfile after;
        ASSERT_TRUE(quovix::readIccProfile(target, after).ok());
        EXPECT_TRUE(after == big);
    }
}

// The metadata writer has a lower limit for profiles than a JPEG has: the
// largest profile a JPEG output can hold must not cost the camera metadata,
// and the profile's chunks stay as the encoder wrote them.
TEST_F(CameraMetadataTest, ProfileOfTheJpegMaximumKeepsTheCameraMetadata)
{
    const std::string source = tiffInput(wide);
    IccProfile largest = wide;
    largest.resize(quovix::kMaxJpegIccBytes);
    icc_samples::Writer header;
    header.bytes.swap(largest);
    header.put32At(0, static_cast<uint32_t>(quovix::kMaxJpegIccBytes));  // the size its header declares
    header.bytes.swap(largest);
    const std::string target = writeOutput(OutputKind::Jpeg, largest);
    const auto iccSegments = [&] {
        const std::string jpeg = readFile(target);
        std::string chunks;
        for (const metadata_samples::Segment& c : metadata_samples::iccChunks(jpeg))
            chunks += jpeg.substr(c.at, c.size);
        return chunks;
    };
    const std::string chunks = iccSegments();
    ASSERT_EQ(metadata_samples::iccChunks(readFile(target)).size(), 255u);
    const OutputState before = outputState(target, false);
    ASSERT_TRUE(before.profile == largest);

    const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
    ASSERT_TRUE(status.ok()) << status.detail;
    expectSameImage(before, target, false);
    expectCameraExif(metadata_samples::readMetadata(target), output, false);
    EXPECT_TRUE(iccSegments() == chunks) << "profile chunks rewritten";
}

TEST_F(CameraMetadataTest, XmpAndIptcTravelWithoutStorageOrConverterSettings)
{
    const std::string source = jpegInput(wide);
    metadata_samples::editMetadata(source, [&](Exiv2::Image& image) {
        Exiv2::XmpData& xmp = image.xmpData();
        xmp["Xmp.dc.title"] = "Tower at noon";
        xmp["Xmp.tiff.ImageWidth"] = "480";
        xmp["Xmp.exif.PixelXDimension"] = "480";
        xmp["Xmp.crs.Exposure2012"] = "+1.00";
        xmp["Xmp.xmpMM.InstanceID"] = "xmp.iid:input";
        xmp["Xmp.xmp.CreatorTool"] = "Firmware 1.0";
        image.iptcData()["Iptc.Application2.Caption"] = "Crusader statue";
    });
    for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Jpeg}) {
        const std::string target = writeOutput(kind, wide);
        const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        const Metadata m = metadata_samples::readMetadata(target);
        EXPECT_EQ(m.xmpText("Xmp.dc.title"), "lang=\"x-default\" Tower at noon");
        EXPECT_EQ(m.xmpText("Xmp.exif.PixelXDimension"), std::to_string(output.width));
        EXPECT_EQ(m.xmpText("Xmp.xmp.CreatorTool"), std::string("Quovix ") + kVersion);
        EXPECT_EQ(m.xmpText("Xmp.tiff.ImageWidth"), "<absent>");
        EXPECT_EQ(m.xmpText("Xmp.crs.Exposure2012"), "<absent>") << "would be applied twice";
        EXPECT_EQ(m.xmpText("Xmp.xmpMM.InstanceID"), "<absent>");
        auto caption = m.iptc.findKey(Exiv2::IptcKey("Iptc.Application2.Caption"));
        ASSERT_NE(caption, m.iptc.end());
        EXPECT_EQ(caption->toString(), "Crusader statue");
        expectCameraExif(m, output, kind != OutputKind::Jpeg);
    }
}

// A source whose colour profile is damaged (its header declares more bytes
// than the chunk holds) still gives its camera tags and XMP; the profile is
// judged on its own by the profile reader.
TEST_F(CameraMetadataTest, DamagedProfileCostsOnlyTheProfile)
{
    const std::string source = jpegInput(wide);
    metadata_samples::editMetadata(source, [](Exiv2::Image& image) { image.xmpData()["Xmp.dc.title"] = "Pads"; });
    std::string bytes = readFile(source);
    const size_t chunk = bytes.find(std::string("ICC_PROFILE\0", 12));
    ASSERT_NE(chunk, std::string::npos);
    bytes[chunk + 14] = '\x7F';  // the profile's declared size, first byte
    writeFile(source, bytes);
    IccProfile profile;
    EXPECT_FALSE(quovix::readIccProfile(source, profile).ok()) << "the profile itself is refused";
    for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Jpeg}) {
        const std::string target = writeOutput(kind, wide);
        const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        const Metadata m = metadata_samples::readMetadata(target);
        expectCameraExif(m, output, kind != OutputKind::Jpeg);
        EXPECT_EQ(m.xmpText("Xmp.dc.title"), "lang=\"x-default\" Pads");
    }
}

// An XMP packet of megabytes (a sidecar's worth of history embedded by an
// editor) takes minutes and gigabytes to parse: it is left out with a note
// naming the bound, and the camera tags still travel.
TEST_F(CameraMetadataTest, HugeXmpIsLeftOutWithANote)
{
    const std::string source = tiffInput(wide);
    metadata_samples::editMetadata(source, [](Exiv2::Image& image) {
        image.xmpData()["Xmp.dc.title"] = "Huge";
        image.xmpData()["Xmp.dc.source"] = std::string(size_t{3} << 20, 'x');
    });
    ASSERT_GT(quovix::tiffXmpBytes(source), quovix::kMaxXmpBytes);
    const std::string before = readFile(source);
    const std::string target = writeOutput(OutputKind::Tiff8, wide);
    const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
    ASSERT_TRUE(status.ok()) << status.detail;
    EXPECT_EQ(status.note.rfind("XMP of " + source + " not carried: ", 0), 0u) << status.note;
    EXPECT_NE(status.note.find("more than the 1 MB an output takes"), std::string::npos) << status.note;
    const Metadata m = metadata_samples::readMetadata(target);
    expectCameraExif(m, output, true);
    EXPECT_EQ(m.xmpText("Xmp.dc.title"), "<absent>");
    EXPECT_EQ(readFile(source), before) << "the source is only read";
}

TEST_F(CameraMetadataTest, RawInputGivesItsCameraTagsButNotItsSensorData)
{
    if (!programOnPath("dcraw"))
        GTEST_SKIP() << "dcraw is not installed on PATH";
    const std::string dng = dir.file("shot.dng");
    ASSERT_TRUE(writeTestDng(dng));
    const Metadata raw = metadata_samples::readMetadata(dng);
    ASSERT_EQ(raw.exifText("Exif.Image.Make"), "Quovix");
    ASSERT_EQ(raw.exifText("Exif.Image.Model"), "Test Sensor");
    ASSERT_NE(raw.exifText("Exif.Image.DNGVersion"), "<absent>");

    // The output is made of the converter's pixels and carries its profile.
    const std::string converted = dir.file("shot.tif");
    Status converted_ = Status();
    captureOutput([&] { converted_ = convertRaw(run, dng, converted, 0); });
    ASSERT_TRUE(converted_.ok()) << converted_.consoleText();
    IccProfile profile;
    ASSERT_TRUE(quovix::readIccProfile(converted, profile).ok());
    ASSERT_FALSE(profile.empty());
    output.width = 64;
    output.height = 48;
    output.rgb = metadata_samples::tiffSamples(converted);
    ASSERT_EQ(output.rgb.size(), size_t(64) * 48 * 3);

    for (OutputKind kind : {OutputKind::Tiff16, OutputKind::Jpeg}) {
        const bool tiff = kind != OutputKind::Jpeg;
        const std::string target = writeOutput(kind, profile);
        const OutputState before = outputState(target, tiff);
        const MetadataStatus status = copyCameraMetadata(dng, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        expectSameImage(before, target, tiff);
        const Metadata m = metadata_samples::readMetadata(target);
        EXPECT_EQ(m.exifText("Exif.Image.Make"), "Quovix");
        EXPECT_EQ(m.exifText("Exif.Image.Model"), "Test Sensor");
        EXPECT_EQ(m.exifText("Exif.Image.UniqueCameraModel"), "Quovix Test Sensor");
        EXPECT_EQ(m.exifText("Exif.Image.Software"), std::string("Quovix ") + kVersion);
        for (const char* sensorTag : {"Exif.Image.DNGVersion", "Exif.Image.CFAPattern", "Exif.Image.CFARepeatPatternDim",
                                      "Exif.Image.ColorMatrix1", "Exif.Image.WhiteLevel", "Exif.Image.AsShotNeutral"})
            EXPECT_EQ(m.exifText(sensorTag), "<absent>") << sensorTag;
        if (tiff) {
            EXPECT_EQ(m.exifText("Exif.Image.PhotometricInterpretation"), "2") << "RGB, not the DNG's CFA";
        }
    }
}

// A real camera file: maker notes, preview images and further IFDs of a CR2.
TEST_F(CameraMetadataTest, CanonRawGivesExposureAndMakerNote)
{
    const std::string cr2 = sourceDir() + "/examples/raw_canon/IMG_5952.CR2";
    if (!fileExists(cr2))
        GTEST_SKIP() << cr2 << " is not there";
    const Metadata raw = metadata_samples::readMetadata(cr2);
    ASSERT_GT(raw.groupCount("Image2") + raw.groupCount("Image3"), 0);
    ASSERT_GT(raw.groupCount("Canon"), 0);

    for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Jpeg}) {
        const bool tiff = kind != OutputKind::Jpeg;
        const std::string target = writeOutput(kind, wide);
        const OutputState before = outputState(target, tiff);
        const MetadataStatus status = copyCameraMetadata(cr2, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        expectSameImage(before, target, tiff);
        const Metadata m = metadata_samples::readMetadata(target);
        EXPECT_EQ(m.exifText("Exif.Image.Make"), "Canon");
        EXPECT_EQ(m.exifText("Exif.Image.Model"), "Canon EOS 30D");
        EXPECT_EQ(m.exifText("Exif.Photo.ExposureTime"), "1/400");
        EXPECT_EQ(m.exifText("Exif.Photo.ISOSpeedRatings"), "640");
        EXPECT_EQ(m.exifText("Exif.Canon.ModelID"), raw.exifText("Exif.Canon.ModelID"));
        EXPECT_EQ(m.exifText("Exif.CanonCs.LensType"), raw.exifText("Exif.CanonCs.LensType"));
        EXPECT_EQ(m.groupCount("Image2") + m.groupCount("Image3") + m.groupCount("Thumbnail"), 0);
        EXPECT_EQ(m.exifText("Exif.Image.Software"), std::string("Quovix ") + kVersion);
    }
}

TEST_F(CameraMetadataTest, DamagedOrUnusableSourceLeavesOutputUntouched)
{
    const std::string plain = dir.file("plain.jpg");
    metadata_samples::writeJpeg(plain, input, {});
    const std::string jpeg = readFile(plain);
    auto withApp1 = [&](const std::string& payload) {
        const size_t length = payload.size() + 2;
        return jpeg.substr(0, 2) + "\xFF\xE1" + char(length >> 8) + char(length & 0xFF) + payload + jpeg.substr(2);
    };
    // Exif block cut short in garbage; a TIFF header whose IFD claims 4000
    // entries; an IFD entry pointing far outside the block.
    writeFile(dir.file("garbage.jpg"), withApp1(std::string("Exif\0\0", 6) + "\x13\x37garbage"));
    writeFile(dir.file("entries.jpg"), withApp1(std::string("Exif\0\0II*\0\x08\0\0\0\xA0\x0F\x0F\x01\x02\0", 20)));
    writeFile(dir.file("pointer.jpg"),
              withApp1(std::string("Exif\0\0II*\0\x08\0\0\0\x01\0\x0F\x01\x02\0\x00\x10\0\0\xF0\xFF\xFF\x7F\0\0\0\0", 32)));
    writeFile(dir.file("notes.txt"), "not an image\n");

    const std::string target = writeOutput(OutputKind::Tiff8, wide);
    const samples::FileSnapshot before = samples::snapshot(target);
    const std::set<std::string> entries = folderEntries(dir.path());
    // A host's own Exiv2 log handler hears Exiv2's complaints while the copy
    // still finds the damage, and is the handler again afterwards.
    static std::atomic<int> hostErrors{0};
    const Exiv2::LogMsg::Handler host = [](int level, const char*) {
        if (level >= Exiv2::LogMsg::error)
            ++hostErrors;
    };
    Exiv2::LogMsg::setHandler(host);
    for (const char* name : {"garbage.jpg", "entries.jpg", "pointer.jpg", "notes.txt", "missing.jpg"}) {
        MetadataStatus status;
        const std::string printed =
            metadata_samples::captureBothStreams([&] { status = copyCameraMetadata(dir.file(name), target, kVersion); });
        EXPECT_FALSE(status.ok()) << name;
        EXPECT_NE(status.detail.find(name), std::string::npos) << status.detail;
        EXPECT_EQ(printed, "") << name;
        EXPECT_TRUE(samples::snapshot(target) == before) << name;
        EXPECT_EQ(folderEntries(dir.path()), entries) << name;
    }
    EXPECT_TRUE(Exiv2::LogMsg::handler() == host);
    EXPECT_GT(hostErrors.load(), 0);
    Exiv2::LogMsg::setHandler(Exiv2::LogMsg::defaultHandler);
    // The garbage sources are still good pictures: only their metadata is refused.
    EXPECT_EQ(metadata_samples::jpegSamples(dir.file("garbage.jpg")), metadata_samples::jpegSamples(plain));
}

TEST_F(CameraMetadataTest, UnsupportedOrUnreadableTargetIsLeftAsItWas)
{
    const std::string source = jpegInput(wide);

    // Exiv2 0.27 knows no BigTIFF.
    const std::string big = dir.file("big.tif");
    metadata_samples::writeOutputTiff(run, big, output, 8, wide, true);
    // A JPEG cut inside its header: Exiv2 throws while reading it.
    const std::string cut = dir.file("cut.jpg");
    writeFile(cut, readFile(source).substr(0, 100));
    writeFile(dir.file("notes.tif"), "not an image\n");
    const std::set<std::string> entries = folderEntries(dir.path());
    const struct {
        const char* name;
        MetadataError error;
    } cases[] = {{"big.tif", MetadataError::Unsupported},
                 {"cut.jpg", MetadataError::CannotWrite},
                 {"notes.tif", MetadataError::Unsupported}};
    for (const auto& c : cases) {
        const samples::FileSnapshot before = samples::snapshot(dir.file(c.name));
        MetadataStatus status;
        const std::string printed =
            metadata_samples::captureBothStreams([&] { status = copyCameraMetadata(source, dir.file(c.name), kVersion); });
        EXPECT_EQ(status.error, c.error) << c.name << ": " << status.detail;
        EXPECT_NE(status.detail.find(c.name), std::string::npos) << status.detail;
        EXPECT_EQ(printed, "") << c.name;
        EXPECT_TRUE(samples::snapshot(dir.file(c.name)) == before) << c.name;
        EXPECT_EQ(folderEntries(dir.path()), entries) << c.name;
    }
    EXPECT_EQ(copyCameraMetadata(source, dir.file("missing.tif"), kVersion).error, MetadataError::CannotOpen);
    EXPECT_FALSE(fileExists(dir.file("missing.tif")));
}

// One APP1 segment holds at most 64 KiB of EXIF: Exiv2 leaves out the largest
// entries to make it fit, and keeps the rest. A TIFF has room for all.
TEST_F(CameraMetadataTest, JpegOutputLeavesOutWhatDoesNotFitOneSegment)
{
    const std::string source = tiffInput(wide);
    metadata_samples::editMetadata(source, [&](Exiv2::Image& image) {
        image.exifData()["Exif.Image.Artist"] = std::string(70000, 'x');
    });
    ASSERT_EQ(metadata_samples::readMetadata(source).exifText("Exif.Image.Artist").size(), 70000u);
    for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Jpeg}) {
        const std::string target = writeOutput(kind, wide);
        const OutputState before = outputState(target, kind != OutputKind::Jpeg);
        const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
        ASSERT_TRUE(status.ok()) << status.detail;
        expectSameImage(before, target, kind != OutputKind::Jpeg);
        const Metadata m = metadata_samples::readMetadata(target);
        EXPECT_EQ(m.exifText("Exif.Image.Artist").size(), kind == OutputKind::Jpeg ? 8u : 70000u)
            << "8: <absent>";
        expectCameraExif(m, output, kind != OutputKind::Jpeg);
    }
}

TEST_F(CameraMetadataTest, UpdatedTargetKeepsItsModeAndLeavesNoWorkFiles)
{
    const std::string source = tiffInput(wide);
    const std::string target = writeOutput(OutputKind::Tiff8, wide);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    const std::set<std::string> entries = folderEntries(dir.path());
    MetadataStatus status;
    const std::string printed = metadata_samples::captureBothStreams([&] { status = copyCameraMetadata(source, target, kVersion); });
    ASSERT_TRUE(status.ok()) << status.detail;
    EXPECT_EQ(printed, "");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(folderEntries(dir.path()), entries);
}

// Strict readers open every output kind without a word: libtiff (behind
// tiffinfo and ImageMagick) reads all directories of a TIFF output, and
// exiftool's validation finds nothing in any output. The sources are what
// cameras and other tools leave: a maker note Exiv2 cannot parse, a Canon
// maker note over 64 KiB, another tool's JSON description, GPS and Exif
// directories without their version tags, a thumbnail, XMP and IPTC.
// (exiftool also wants a TIFF's GPS directory to name its method, which is
// not made up where a source has none: the sources here name theirs.)
TEST_F(CameraMetadataTest, OutputsOpenInStrictReadersWithoutWarnings)
{
    const bool exiftool = programOnPath("exiftool");
    const auto gpsMethod = [](Exiv2::Image& image) {
        image.exifData()["Exif.GPSInfo.GPSProcessingMethod"] = "charset=Ascii GPS";
    };
    const std::string json = tiffInput(wide);
    metadata_samples::editMetadata(json, [&](Exiv2::Image& image) {
        image.exifData()["Exif.Image.ImageDescription"] = "{\"shape\": [360, 480, 3]}";
        gpsMethod(image);
    });
    const std::string camera = jpegInput(wide);
    metadata_samples::editMetadata(camera, [&](Exiv2::Image& image) {
        gpsMethod(image);
        image.xmpData()["Xmp.dc.title"] = "Tower at noon";
        image.iptcData()["Iptc.Application2.Caption"] = "Crusader statue";
    });
    std::vector<std::string> sources = {camera, json, sourceDir() + "/examples/focus_pcb/pcb_001.jpg"};
    const std::string cr2 = sourceDir() + "/examples/raw_canon/IMG_5952.CR2";
    if (fileExists(cr2))
        sources.push_back(cr2);
    ASSERT_NE(metadata_samples::readMetadata(sources[2]).exifText("Exif.Photo.MakerNote"), "<absent>");
    std::vector<std::string> targets;
    for (const std::string& source : sources) {
        for (OutputKind kind : {OutputKind::Tiff8, OutputKind::Tiff16, OutputKind::Jpeg}) {
            SCOPED_TRACE(source + ", output kind " + std::to_string(static_cast<int>(kind)));
            const bool tiff = kind != OutputKind::Jpeg;
            // LZW, the default, for both depths: exiftool holds that baseline
            // TIFF knows no Deflate.
            const std::string name = "strict" + std::to_string(targets.size());
            std::string target = dir.file(name + ".jpg");
            if (tiff) {
                target = dir.file(name + ".tif");
                settings.compression = Compression::Lzw;
                metadata_samples::writeOutputTiff(run, target, output, kind == OutputKind::Tiff8 ? 8 : 16, wide);
            } else {
                metadata_samples::writeJpeg(target, output, wide);
            }
            const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
            ASSERT_TRUE(status.ok()) << status.detail;
            EXPECT_EQ(status.note, "");
            if (tiff) {
                EXPECT_EQ(metadata_samples::libtiffComplaints(target), 0);
            }
            targets.push_back(target);
            const Metadata m = metadata_samples::readMetadata(target);
            EXPECT_EQ(m.exifText("Exif.Image.ImageDescription"), "<absent>") << "the input's, not the output's";
            EXPECT_NE(m.exifText("Exif.Image.Make"), "<absent>");
            EXPECT_EQ(m.exifText("Exif.Image.Software"), std::string("Quovix ") + kVersion);
            EXPECT_EQ(m.groupCount("Iop"), tiff ? 0 : m.groupCount("Iop")) << "no interoperability IFD in a TIFF";
            if (source == cr2) {
                EXPECT_EQ(m.exifText("Exif.Canon.LensModel"), "EF-S18-55mm f/3.5-5.6");
            }
        }
    }
    if (!exiftool)
        GTEST_SKIP() << "libtiff checked; exiftool is not installed (scripts/install-deps.sh installs it)";
    EXPECT_EQ(metadata_samples::exiftoolComplaints(targets), "");
}

// A maker note over what a TIFF reader takes even without its large entries
// is left out of a TIFF output as a whole, with a note; a JPEG output keeps
// what fits its segment.
TEST_F(CameraMetadataTest, MakerNoteTooLargeForTiffIsLeftOutWithANote)
{
    const std::string source = tiffInput(wide);
    metadata_samples::editMetadata(source, [](Exiv2::Image& image) {
        image.exifData()["Exif.Image.Make"] = "Canon";
        for (const char* key : {"Exif.Canon.ImageType", "Exif.Canon.FirmwareVersion", "Exif.Canon.OwnerName",
                                "Exif.Canon.LensModel", "Exif.Canon.InternalSerialNumber"})
            image.exifData()[key] = std::string(15000, 'q');
    });
    ASSERT_EQ(metadata_samples::readMetadata(source).exifText("Exif.Canon.LensModel").size(), 15000u);
    const std::string target = writeOutput(OutputKind::Tiff8, wide);
    const OutputState before = outputState(target, true);
    const MetadataStatus status = copyCameraMetadata(source, target, kVersion);
    ASSERT_TRUE(status.ok()) << status.detail;
    EXPECT_EQ(status.note.rfind("maker note of " + source + " not carried: ", 0), 0u) << status.note;
    EXPECT_NE(status.note.find("more than the 65535 a TIFF output takes"), std::string::npos) << status.note;
    expectSameImage(before, target, true);
    EXPECT_EQ(metadata_samples::libtiffComplaints(target), 0);
    const Metadata m = metadata_samples::readMetadata(target);
    EXPECT_EQ(m.groupCount("Canon"), 0);
    EXPECT_EQ(m.exifText("Exif.Photo.MakerNote"), "<absent>");
    EXPECT_EQ(m.exifText("Exif.Image.Make"), "Canon");
    EXPECT_EQ(m.exifText("Exif.Photo.ExposureTime"), "1/250") << "the rest of the camera's tags travel";
}

} // namespace
