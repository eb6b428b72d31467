#include "imageio/icc_profile.h"

#include "dng_writer.h"
#include "icc_samples.h"
#include "imageio/raw_convert.h"
#include "metadata_samples.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quovix::IccProfile;
using quovix::MetadataError;
using quovix::MetadataStatus;
using quovix::readIccProfile;

namespace {

using metadata_samples::iccChunks;
using metadata_samples::Segment;

class IccProfileTest : public FreshSettingsTest {
protected:
    void SetUp() override
    {
        FreshSettingsTest::SetUp();
        photo = metadata_samples::photoCrop(sourceDir() + "/examples/crusader/2.jpeg", 500, 800, 160, 96);
        ASSERT_EQ(photo.rgb.size(), size_t(160) * 96 * 3);
        icc_samples::ProfileOptions large;
        large.description = "Quovix test print gamut, tabulated curves";
        large.colorants = icc_samples::kPrintGamut;
        large.curveEntries = 25000;
        big = icc_samples::makeProfile(large);
    }

    MetadataStatus read(const std::string& path, IccProfile& profile) { return readIccProfile(path, profile); }

    TempDir dir;
    metadata_samples::Picture photo;
    IccProfile small = icc_samples::makeProfile();
    IccProfile big;
};

TEST_F(IccProfileTest, TiffTagCarriesProfilesByteForByte)
{
    ASSERT_GT(big.size(), size_t{2} * 65519) << "the large profile must need three JPEG chunks";
    for (bool bigTiff : {false, true}) {
        for (const IccProfile* profile : {&small, &big}) {
            const std::string path = dir.file(bigTiff ? "big.tif" : "classic.tif");
            metadata_samples::writeOutputTiff(run, path, photo, 8, *profile, bigTiff);
            IccProfile back{1, 2, 3};
            MetadataStatus status = read(path, back);
            EXPECT_TRUE(status.ok()) << status.detail;
            EXPECT_TRUE(back == *profile) << "BigTIFF " << bigTiff << ", " << profile->size() << " bytes";
        }
    }
    // Without a profile the tag is not written at all.
    metadata_samples::writeOutputTiff(run, dir.file("none.tif"), photo, 16, {});
    IccProfile back{1};
    EXPECT_TRUE(read(dir.file("none.tif"), back).ok());
    EXPECT_TRUE(back.empty());
}

TEST_F(IccProfileTest, JpegChunksRoundTripByteForByte)
{
    metadata_samples::writeJpeg(dir.file("plain.jpg"), photo, {});
    metadata_samples::writeJpeg(dir.file("small.jpg"), photo, small);
    metadata_samples::writeJpeg(dir.file("big.jpg"), photo, big);

    EXPECT_EQ(iccChunks(readFile(dir.file("plain.jpg"))).size(), 0u);
    EXPECT_EQ(iccChunks(readFile(dir.file("small.jpg"))).size(), 1u);
    const std::string bigJpeg = readFile(dir.file("big.jpg"));
    const std::vector<Segment> chunks = iccChunks(bigJpeg);
    ASSERT_EQ(chunks.size(), 3u);
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(static_cast<unsigned char>(bigJpeg[chunks[i].at + 16]), i + 1) << "sequence number";
        EXPECT_EQ(static_cast<unsigned char>(bigJpeg[chunks[i].at + 17]), 3) << "chunk count";
    }

    IccProfile back;
    EXPECT_TRUE(read(dir.file("small.jpg"), back).ok());
    EXPECT_TRUE(back == small);
    EXPECT_TRUE(read(dir.file("big.jpg"), back).ok());
    EXPECT_TRUE(back == big);
    // The profile sits in the header only: the decoded picture is the same.
    EXPECT_EQ(metadata_samples::jpegSamples(dir.file("big.jpg")), metadata_samples::jpegSamples(dir.file("plain.jpg")));
}

TEST_F(IccProfileTest, JpegChunksAreJoinedBySequenceNumber)
{
    metadata_samples::writeJpeg(dir.file("big.jpg"), photo, big);
    const std::string jpeg = readFile(dir.file("big.jpg"));
    const std::vector<Segment> c = iccChunks(jpeg);
    ASSERT_EQ(c.size(), 3u);
    auto piece = [&](const Segment& s) { return jpeg.substr(s.at, s.size); };
    const std::string before = jpeg.substr(0, c[0].at);
    const std::string after = jpeg.substr(c[2].at + c[2].size);

    // Stored 3, 1, 2: still joined as 1, 2, 3.
    writeFile(dir.file("shuffled.jpg"), before + piece(c[2]) + piece(c[0]) + piece(c[1]) + after);
    IccProfile back;
    MetadataStatus status = read(dir.file("shuffled.jpg"), back);
    EXPECT_TRUE(status.ok()) << status.detail;
    EXPECT_TRUE(back == big);

    // A missing or repeated chunk cannot be joined into the profile.
    writeFile(dir.file("gap.jpg"), before + piece(c[0]) + piece(c[2]) + after);
    writeFile(dir.file("twice.jpg"), before + piece(c[0]) + piece(c[0]) + piece(c[1]) + piece(c[2]) + after);
    for (const char* name : {"gap.jpg", "twice.jpg"}) {
        back = {1};
        status = read(dir.file(name), back);
        EXPECT_EQ(status.error, MetadataError::Corrupt) << name;
        EXPECT_NE(status.detail.find(name), std::string::npos) << status.detail;
        EXPECT_TRUE(back.empty()) << name;
    }
}

TEST_F(IccProfileTest, BytesThatAreNoIccProfileAreRefused)
{
    IccProfile garbage(300, 0x5A);
    IccProfile truncated(small.begin(), small.end() - 40);  // header claims 40 bytes more
    IccProfile noSignature = small;
    noSignature[36] = 'x';
    for (const IccProfile* bad : {&garbage, &truncated, &noSignature}) {
        metadata_samples::writeOutputTiff(run, dir.file("bad.tif"), photo, 8, *bad);
        metadata_samples::writeJpeg(dir.file("bad.jpg"), photo, *bad);
        for (const char* name : {"bad.tif", "bad.jpg"}) {
            IccProfile back{1};
            MetadataStatus status = read(dir.file(name), back);
            EXPECT_EQ(status.error, MetadataError::Corrupt) << name << ", " << bad->size() << " bytes";
            EXPECT_TRUE(back.empty());
        }
    }
    // A profile followed by padding is taken as stored.
    IccProfile padded = small;
    padded.push_back(0);
    padded.push_back(0);
    metadata_samples::writeJpeg(dir.file("padded.jpg"), photo, padded);
    IccProfile back;
    EXPECT_TRUE(read(dir.file("padded.jpg"), back).ok());
    EXPECT_TRUE(back == padded);
}

TEST_F(IccProfileTest, FilesWithoutProfileOrUnreadableFiles)
{
    IccProfile back{1};
    // Real inputs without an embedded profile.
    for (const std::string& path : {sourceDir() + "/examples/crusader/1.jpeg", sourceDir() + "/examples/focus_pcb/pcb_001.jpg",
                                   sourceDir() + "/tests/data/crusader_crop/crusader1.tif"}) {
        back = {1};
        MetadataStatus status = read(path, back);
        EXPECT_TRUE(status.ok()) << path << ": " << status.detail;
        EXPECT_TRUE(back.empty()) << path;
    }

    EXPECT_EQ(read(dir.file("missing.jpg"), back).error, MetadataError::CannotOpen);
    writeFile(dir.file("notes.txt"), "not an image\n");
    EXPECT_EQ(read(dir.file("notes.txt"), back).error, MetadataError::Unsupported);
    writeFile(dir.file("cut.jpg"), std::string("\xFF\xD8\xFF\xE2\x01\x00ICC_PROFILE", 17));
    writeFile(dir.file("cut.tif"), std::string("II*\0\x08\0\0\0\xFF\xFF", 10));
    for (const char* name : {"cut.jpg", "cut.tif"}) {
        MetadataStatus status;
        std::string out = metadata_samples::captureBothStreams([&] {
            back = {1};
            status = read(dir.file(name), back);
        });
        EXPECT_EQ(status.error, MetadataError::Corrupt) << name;
        EXPECT_EQ(out, "") << "the reader prints nothing";
        EXPECT_TRUE(back.empty());
    }
}

TEST_F(IccProfileTest, ProfileTooLargeForJpegIsNotWritten)
{
    IccProfile huge = small;
    huge.resize(quovix::kMaxJpegIccBytes + 1);
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &memory, &size);
    info.image_width = 8;
    info.image_height = 8;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    EXPECT_EQ(quovix::writeJpegIccProfile(&info, huge).error, MetadataError::TooLarge);
    std::vector<unsigned char> grey(8 * 3, 128);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = grey.data();
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const std::string jpeg(reinterpret_cast<char*>(memory), size);
    std::free(memory);
    EXPECT_TRUE(iccChunks(jpeg).empty());
}

TEST_F(IccProfileTest, ConvertedRawCarriesTheConverterProfile)
{
    if (!programOnPath("dcraw"))
        GTEST_SKIP() << "dcraw is not installed on PATH";
    const std::string dng = dir.file("shot.dng");
    ASSERT_TRUE(writeTestDng(dng));
    const std::string converted = dir.file("shot.tif");
    Status converted_ = Status();
    captureOutput([&] { converted_ = convertRaw(run, dng, converted, 0); });
    ASSERT_TRUE(converted_.ok()) << converted_.consoleText();
    IccProfile profile;
    MetadataStatus status = read(converted, profile);
    ASSERT_TRUE(status.ok()) << status.detail;
    ASSERT_GE(profile.size(), 132u);
    EXPECT_EQ(std::string(profile.begin() + 36, profile.begin() + 40), "acsp");
    EXPECT_EQ(std::string(profile.begin() + 16, profile.begin() + 20), "RGB ");
    // The profile is the converter's: the DNG itself carries none.
    IccProfile raw{1};
    EXPECT_TRUE(read(dng, raw).ok());
    EXPECT_TRUE(raw.empty());
}

TEST(IccProfileCompare, ByteCompareWithAbsentProfileDifferent)
{
    const IccProfile wide = icc_samples::makeProfile();
    icc_samples::ProfileOptions print;
    print.colorants = icc_samples::kPrintGamut;
    const IccProfile other = icc_samples::makeProfile(print);
    IccProfile oneByte = wide;
    oneByte[200] ^= 1;
    IccProfile longer = wide;
    longer.push_back(0);

    EXPECT_FALSE(quovix::iccProfilesDiffer(wide, icc_samples::makeProfile()));
    EXPECT_FALSE(quovix::iccProfilesDiffer({}, {}));
    EXPECT_TRUE(quovix::iccProfilesDiffer(wide, other));
    EXPECT_TRUE(quovix::iccProfilesDiffer(wide, oneByte));
    EXPECT_TRUE(quovix::iccProfilesDiffer(wide, longer));
    EXPECT_TRUE(quovix::iccProfilesDiffer(wide, {}));
    EXPECT_TRUE(quovix::iccProfilesDiffer({}, wide));
}

} // namespace
