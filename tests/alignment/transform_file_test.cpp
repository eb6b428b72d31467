// Saved transforms: bit-exact round trip, awkward paths, clear errors.
#include "alignment/transform_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace quovix::align;

TEST(TransformFile, RoundTripIsBitExact)
{
    const std::vector<TransformEntry> entries = {
        {"/photos/IMG 0001.tif", {1.0002345678901234, -0.0123, 37.300000000000004, 1.0 / 3.0, 0.99, -52.8,
                                  2.5e-17, -1.2345678901234567e-5, 1.0}},
        {"tab\tin name.jpg", identityHomography()},
        {"#not-a-comment.tif", {1, 0, -0.0, 0, 1, 1e300, 0, 0, 1}},
    };
    std::string text, error;
    ASSERT_TRUE(formatTransforms(entries, text, error)) << error;
    std::vector<TransformEntry> back;
    ASSERT_TRUE(parseTransforms(text, back, error)) << error;
    ASSERT_EQ(back.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(back[i].path, entries[i].path);
        EXPECT_EQ(std::memcmp(back[i].toReference.data(), entries[i].toReference.data(), sizeof(Homography)), 0) << i;
    }
}

TEST(TransformFile, CommentsBlankLinesAndLineEndings)
{
    const std::string text = "# saved\r\n\r\n  \na.tif\t1 0 2 0 1 3 0 0 1\r\nb.tif\t 2  0 0 0 2 0 0 0 1 \n";
    std::vector<TransformEntry> entries;
    std::string error;
    ASSERT_TRUE(parseTransforms(text, entries, error)) << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, "a.tif");
    EXPECT_EQ(entries[0].toReference[2], 2.0);
    EXPECT_EQ(entries[1].toReference[0], 2.0);
}

TEST(TransformFile, MalformedInputIsReportedWithItsLine)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"a.tif 1 0 0 0 1 0 0 0 1\n", "line 1: expected a path"},
        {"# c\na.tif\t1 0 0 0 1 0 0 0\n", "line 2: expected nine numbers, found 8"},
        {"a.tif\t1 0 0 0 1 0 0 0 1 5\n", "line 1: more than nine numbers"},
        {"a.tif\t1 0 x 0 1 0 0 0 1\n", "line 1: not a valid number: 'x'"},
        {"a.tif\t1 0 nan 0 1 0 0 0 1\n", "not a valid number"},
        {"a.tif\t1 0 1e999 0 1 0 0 0 1\n", "not a valid number"},
        {"a.tif\t1 0 0,5 0 1 0 0 0 1\n", "not a valid number"},
        {"\t1 0 0 0 1 0 0 0 1\n", "empty path"},
        // Found by fuzzing: accepted, but the path could not be saved again.
        {"a.tif\r\t1 0 0 0 1 0 0 0 1\n", "line 1: a carriage return inside the path"},
        {"a.tif\t1 0 0 0 1 0 0 0 1\rb.tif\t1 0 0 0 1 0 0 0 1\r", "line 1: a carriage return inside the path"},
        {"a.tif\t1 2 0 2 4 0 0 0 1\n", "cannot be inverted"},
    };
    for (const Case& c : cases) {
        std::vector<TransformEntry> entries = {{"kept", identityHomography()}};
        std::string error;
        EXPECT_FALSE(parseTransforms(c.text, entries, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(entries.size(), 1u);  // untouched on failure
    }
}

TEST(TransformFile, ByteOrderMarkAcceptedAndHugeTokensCut)
{
    std::vector<TransformEntry> entries;
    std::string error;
    ASSERT_TRUE(parseTransforms("\xEF\xBB\xBF" "a.tif\t1 0 2 0 1 0 0 0 1\n", entries, error)) << error;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "a.tif");

    const std::string huge(1 << 20, '7');
    EXPECT_FALSE(parseTransforms("a.tif\t1 0 " + huge + "x 0 1 0 0 0 1\n", entries, error));
    EXPECT_LT(error.size(), 200u);
    EXPECT_NE(error.find("not a valid number: '" + huge.substr(0, 40) + "...'"), std::string::npos) << error;
}

TEST(TransformFile, RefusesWhatCannotBeWritten)
{
    std::string text, error;
    EXPECT_FALSE(formatTransforms({{"two\nlines.tif", identityHomography()}}, text, error));
    EXPECT_FALSE(error.empty());
    Homography h = identityHomography();
    h[2] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(formatTransforms({{"a.tif", h}}, text, error));
}

} // namespace
