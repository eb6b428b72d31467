#include "imageio/file_format.h"

#include "image_samples.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {

using samples::failedWith;

TEST(FormatNames, ImageNamesAreSubstringsAnywhere)
{
    EXPECT_TRUE(isNamedImageFile("a.tif"));
    EXPECT_TRUE(isNamedImageFile("A.TIFF"));
    EXPECT_TRUE(isNamedImageFile("b.JPEG"));
    EXPECT_TRUE(isNamedImageFile("a.tif.bak"));
    EXPECT_TRUE(isNamedImageFile("/photos/x.jpg/IMG_0001.CR2"));
    // Mixed case matches none of the eight spellings: treated as camera RAW.
    EXPECT_FALSE(isNamedImageFile("shot.Jpg"));
    EXPECT_FALSE(isNamedImageFile("IMG_0001.CR2"));
    EXPECT_FALSE(isNamedImageFile("tif"));
}

TEST(FormatNames, JpegNamesAreTheFourJpegSpellings)
{
    for (const char* name : {"out.jpg", "out.jpeg", "OUT.JPG", "OUT.JPEG", "out.jpg.tif", "/a.JPG/out.tif"})
        EXPECT_TRUE(hasJpegExtension(name)) << name;
    for (const char* name : {"out.Jpg", "out.tif", "out.TIFF", "out.jp", "jpg", "out.png"})
        EXPECT_FALSE(hasJpegExtension(name)) << name;
}

class FileFormatTest : public ::testing::Test {
protected:
    FileFormat formatOf(const std::string& path)
    {
        FileFormat format = FileFormat::Raw;  // must be overwritten
        Status status = detectFormat(path, format);
        EXPECT_TRUE(status.ok()) << path << ": " << status.consoleText();
        return format;
    }
    TempDir dir;
};

TEST_F(FileFormatTest, MagicBytesDecideTheFormat)
{
    std::string ii = dir.file("ii"), mm = dir.file("mm"), big = dir.file("big"), bigMm = dir.file("bigmm"),
                jpg = dir.file("j"), text = dir.file("text.tif"), twoBytes = dir.file("two.jpg");
    writeFile(ii, std::string("II*\0rest", 8));
    writeFile(mm, std::string("MM\0*rest", 8));
    writeFile(big, std::string("II+\0\x08\0\0\0", 8));
    writeFile(bigMm, std::string("MM\0+\0\x08\0\0", 8));
    writeFile(jpg, std::string("\xFF\xD8\xFF\xE0", 4));
    writeFile(text, "plain text, not an image");
    writeFile(twoBytes, "\xFF\xD8");
    EXPECT_EQ(formatOf(ii), FileFormat::Tiff);
    EXPECT_EQ(formatOf(mm), FileFormat::Tiff);
    EXPECT_EQ(formatOf(big), FileFormat::BigTiff);
    EXPECT_EQ(formatOf(bigMm), FileFormat::BigTiff);
    EXPECT_EQ(formatOf(jpg), FileFormat::Jpeg);
    // Two bytes are enough for the JPEG test.
    EXPECT_EQ(formatOf(twoBytes), FileFormat::Jpeg);
    EXPECT_EQ(formatOf(text), FileFormat::Unknown);
    // Mixed byte orders are no TIFF.
    writeFile(ii, std::string("IM*\0rest", 8));
    EXPECT_EQ(formatOf(ii), FileFormat::Unknown);
}

TEST_F(FileFormatTest, UnreadableStartsEndTheRun)
{
    FileFormat format = FileFormat::Tiff;
    std::string missing = dir.file("missing.tif");
    EXPECT_TRUE(failedWith(detectFormat(missing, format), 1, "Error: Cannot open file: " + missing + "\n"));
    EXPECT_EQ(format, FileFormat::Unknown);

    std::string empty = dir.file("empty.tif"), one = dir.file("one.jpg"), three = dir.file("three.tif");
    writeFile(empty, "");
    writeFile(one, "\xFF");
    writeFile(three, "II*");
    // Two bytes pass the JPEG test; the TIFF test needs four.
    for (const std::string& path : {empty, one, three}) {
        format = FileFormat::Tiff;
        EXPECT_TRUE(failedWith(detectFormat(path, format), -1, "Error: getFirstBytes: Cannot read from file")) << path;
        EXPECT_EQ(format, FileFormat::Unknown) << path;
    }
}

// What goes to which reader: content for TIFF, JPEG and PNG whatever the
// name's case; TIFF-based camera files and anything unknown to the RAW
// converter; an unknown file under an image name stays an error.
TEST_F(FileFormatTest, InputsAreClassifiedByContent)
{
    const std::string tiff("II*\0\x08\0\0\0", 8), jpeg("\xFF\xD8\xFF\xE0", 4),
        png("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16), text = "plain text, not an image";
    struct Case {
        const char* name;
        const std::string& content;
        FileFormat expected;
    };
    const Case cases[] = {
        {"a.Tif", tiff, FileFormat::Tiff},         {"b.TiFF", tiff, FileFormat::Tiff},
        {"scan", tiff, FileFormat::Tiff},          {"c.jpg", tiff, FileFormat::Tiff},
        {"shot.dng", tiff, FileFormat::Raw},       {"IMG_1.CR2", tiff, FileFormat::Raw},
        {"x.jpg.nef", tiff, FileFormat::Raw},      {".hidden", tiff, FileFormat::Tiff},
        {"d.Jpg", jpeg, FileFormat::Jpeg},         {"jpeg-named.tif", jpeg, FileFormat::Jpeg},
        {"e.Png", png, FileFormat::Png},           {"png-named.jpeg", png, FileFormat::Png},
        {"odd.cr2", png, FileFormat::Png},         {"notes.txt", text, FileFormat::Raw},
        {"IMG_2.ORF", text, FileFormat::Raw},      {"text.tif", text, FileFormat::Unknown},
        {"text.Png", text, FileFormat::Unknown},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        writeFile(path, c.content);
        FileFormat format = FileFormat::BigTiff;  // must be overwritten
        EXPECT_TRUE(classifyInput(path, format).ok()) << c.name;
        EXPECT_EQ(format, c.expected) << c.name;
        EXPECT_EQ(isRawInput(path), c.expected == FileFormat::Raw) << c.name;
        std::remove(path.c_str());
    }
    // A file that cannot be read: its error under an image name; under any
    // other name, the converter reports it.
    FileFormat format = FileFormat::Tiff;
    const std::string missing = dir.file("missing.PNG");
    EXPECT_TRUE(failedWith(classifyInput(missing, format), 1, "Error: Cannot open file: " + missing + "\n"));
    EXPECT_EQ(format, FileFormat::Unknown);
    EXPECT_TRUE(classifyInput(dir.file("missing.cr2"), format).ok());
    EXPECT_EQ(format, FileFormat::Raw);
    EXPECT_FALSE(isRawInput(missing));
}

} // namespace
