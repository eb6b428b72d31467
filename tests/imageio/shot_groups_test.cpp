// Splitting a card of shots into brackets and stacks: the rules on capture
// facts, and the facts read from real files (EXIF written with Exiv2,
// modification times, measured brightness).
#include "imageio/shot_groups.h"

#include "metadata_samples.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

namespace {

using metadata_samples::Picture;

CaptureFacts shot(double seconds, double exposure)
{
    CaptureFacts f;
    f.hasExifTime = true;
    f.exifTime = seconds;
    f.hasFileTime = true;
    f.fileTime = 1000.0;  // copied files: one modification time for all
    f.hasExposure = true;
    f.exposure = exposure;
    return f;
}

// "first+count:closedBy" for each span.
std::string describe(const std::vector<GroupSpan>& spans)
{
    std::string text;
    for (const GroupSpan& s : spans)
        text += (text.empty() ? "" : " | ") + std::to_string(s.first) + "+" + std::to_string(s.count) + ":" + s.closedBy;
    return text;
}

GroupingParams rule(const char* text)
{
    GroupingParams params;
    EXPECT_TRUE(parseGroupRule(text, params)) << text;
    return params;
}

TEST(ShotGroups, RulesSplitBracketsStacksAndRepeats)
{
    // Two brackets of three half a second apart, 20 s between them, then a
    // bracket of five whose sequence repeats without any pause, then a focus
    // stack of four at one exposure.
    std::vector<CaptureFacts> facts;
    double t = 0.0;
    for (double ev : {0.0, -2.0, 2.0})
        facts.push_back(shot(t += 0.5, ev));
    t += 20.0;
    for (double ev : {0.0, -2.0, 2.0})
        facts.push_back(shot(t += 0.5, ev));
    t += 20.0;
    for (int repeat = 0; repeat < 2; ++repeat)
        for (double ev : {0.0, -2.0, -1.0, 1.0, 2.0})
            facts.push_back(shot(t += 0.5, ev + 0.05 * repeat));  // EXIF thirds: a twentieth of a stop is the same
    t += 20.0;
    for (int i = 0; i < 4; ++i)
        facts.push_back(shot(t += 0.5, 3.0));

    EXPECT_EQ(describe(groupByFacts(facts, rule("auto"))),
              "0+3:time gap of 20.5 s | 3+3:time gap of 20.5 s | 6+5:exposure repeats | 11+5:time gap of 20.5 s | "
              "16+4:last file");
    EXPECT_EQ(describe(groupByFacts(facts, rule("time:5"))),
              "0+3:time gap of 20.5 s | 3+3:time gap of 20.5 s | 6+10:time gap of 20.5 s | 16+4:last file");
    EXPECT_EQ(describe(groupByFacts(facts, rule("time:30"))), "0+20:last file");
    // The exposure rule alone: one pass over the whole card; the bracket's
    // first value 0 comes back at 3, 6 and 11; the stack at 3.0 never equals
    // the last start (0), so it joins the last bracket.
    EXPECT_EQ(describe(groupByFacts(facts, rule("exposure"))),
              "0+3:exposure repeats | 3+3:exposure repeats | 6+5:exposure repeats | 11+9:last file");
    EXPECT_EQ(describe(groupByFacts(facts, rule("7"))), "0+7:7 files | 7+7:7 files | 14+6:last file");

    // One file without EXIF time: the camera clock and modification times do
    // not mix, so the modification times (all equal here) decide: no time
    // gap, only the exposure repeats split.
    facts[4].hasExifTime = false;
    EXPECT_EQ(describe(groupByFacts(facts, rule("time:5"))), "0+20:last file");
    EXPECT_EQ(describe(groupByFacts(facts, rule("auto"))),
              "0+3:exposure repeats | 3+3:exposure repeats | 6+5:exposure repeats | 11+9:last file");

    // An unknown exposure keeps its time group whole; a measured exposure
    // never equals an EXIF one.
    std::vector<CaptureFacts> stack(facts.begin(), facts.begin() + 3);
    stack[1].hasExposure = false;
    EXPECT_EQ(describe(groupByFacts(stack, rule("exposure"))), "0+3:last file");
    stack[1].hasExposure = true;
    stack[1].exposureMeasured = true;
    stack[1].exposure = stack[0].exposure;
    stack[2].exposure = stack[0].exposure;
    EXPECT_EQ(describe(groupByFacts(stack, rule("exposure"))), "0+2:exposure repeats | 2+1:last file");
    // Two shots at the start exposure open no group of one frame each.
    std::vector<CaptureFacts> doubled;
    for (double ev : {0.0, 0.0, -2.0, 0.0, 0.0, -2.0})
        doubled.push_back(shot(0.0, ev));
    EXPECT_EQ(describe(groupByFacts(doubled, rule("exposure"))), "0+3:exposure repeats | 3+3:last file");
    EXPECT_TRUE(groupByFacts({}, rule("auto")).empty());
}

TEST(ShotGroups, RuleTextsParsedStrictly)
{
    GroupingParams p;
    EXPECT_TRUE(parseGroupRule("time:2.5", p));
    EXPECT_EQ(p.rule, GroupRule::Time);
    EXPECT_DOUBLE_EQ(p.seconds, 2.5);
    EXPECT_TRUE(parseGroupRule("12", p));
    EXPECT_EQ(p.rule, GroupRule::Count);
    EXPECT_EQ(p.count, 12);
    for (const char* bad : {"", "0", "-3", "3x", "time:", "time:-1", "time:1s", "Auto", "exposures", "time:nan"})
        EXPECT_FALSE(parseGroupRule(bad, p)) << bad;
    EXPECT_EQ(p.count, 12);  // a refused text leaves the parameters as they were
}

class ShotFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        crop_ = metadata_samples::photoCrop(sourceDir() + "/tests/data/rocket/rocket.jpg", 100, 80, 96, 64);
        ASSERT_EQ(crop_.width, 96);
    }

    // A JPEG of the crop, its samples scaled by `gain`, with EXIF when
    // `exposureTime` > 0, modified at `mtime` seconds.
    std::string write(const std::string& name, double gain, double exposureTime, const char* original,
                      const char* subSeconds, double mtime)
    {
        Picture p = crop_;
        for (unsigned char& v : p.rgb)
            v = static_cast<unsigned char>(std::min(255.0, std::round(v * gain)));
        const std::string path = dir_.file(name);
        metadata_samples::writeJpeg(path, p, IccProfile{});
        if (exposureTime > 0.0) {
            metadata_samples::editMetadata(path, [&](Exiv2::Image& image) {
                Exiv2::ExifData& exif = image.exifData();
                exif["Exif.Photo.DateTimeOriginal"] = std::string(original);
                exif["Exif.Photo.SubSecTimeOriginal"] = std::string(subSeconds);
                exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, static_cast<int>(std::lround(1.0 / exposureTime)));
                exif["Exif.Photo.FNumber"] = Exiv2::URational(8, 1);
                exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(200);
            });
        }
        const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        return path;
    }

    static std::string groupsText(const std::vector<ShotGroup>& groups)
    {
        std::string text;
        for (const ShotGroup& g : groups) {
            text += text.empty() ? "" : " | ";
            for (const std::string& f : g.files)
                text += f.substr(f.rfind('/') + 1, 2);
            text += ":" + g.closedBy;
        }
        return text;
    }

    TempDir dir_;
    Picture crop_;
};

TEST_F(ShotFiles, ExifTimesAndExposuresSplitTheCard)
{
    // Two brackets of three (1/250, 1/1000, 1/60 s), 40 s apart; the
    // modification times say nothing (all copied at once).
    std::vector<std::string> files;
    const char* times[] = {"2026:06:01 10:00:00", "2026:06:01 10:00:00", "2026:06:01 10:00:01",
                           "2026:06:01 10:00:40", "2026:06:01 10:00:40", "2026:06:01 10:00:41"};
    const char* subs[] = {"10", "60", "00", "20", "70", "15"};
    const double shutter[] = {1.0 / 250, 1.0 / 1000, 1.0 / 60};
    for (int i = 0; i < 6; ++i)
        files.push_back(write("f" + std::to_string(i) + ".jpg", 1.0, shutter[i % 3], times[i], subs[i], 5000.0));
    const std::vector<ShotGroup> groups = groupShots(files, rule("auto"));
    EXPECT_EQ(groupsText(groups), "f0f1f2:time gap of 39.2 s | f3f4f5:last file");
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].largestFramePixels, 96 * 64);

    // The facts as read: sub-seconds count, the exposure is log2(t ISO / N^2).
    const CaptureFacts f1 = readCaptureFacts(files[1]);
    const CaptureFacts f0 = readCaptureFacts(files[0]);
    EXPECT_NEAR(f1.exifTime - f0.exifTime, 0.5, 1e-6);
    EXPECT_NEAR(f0.exposure, std::log2(200.0 / 250.0 / 64.0), 1e-6);  // EXIF rationals read as float
    EXPECT_FALSE(f0.exposureMeasured);
}

TEST_F(ShotFiles, WithoutExifModificationTimesAndBrightnessDecide)
{
    // Three brackets of three without EXIF: dark, normal, bright frames;
    // the first two 30 s apart by modification time, the third straight after.
    std::vector<std::string> files;
    const double gains[] = {0.5, 1.0, 1.9};
    const double mtimes[] = {100, 101, 102, 132, 133, 134, 135, 136, 137};
    for (int i = 0; i < 9; ++i)
        files.push_back(write("g" + std::to_string(i) + ".jpg", gains[i % 3], 0.0, "", "", mtimes[i]));
    EXPECT_EQ(groupsText(groupShots(files, rule("auto"))),
              "g0g1g2:time gap of 30.0 s | g3g4g5:exposure repeats | g6g7g8:last file");
    const CaptureFacts dark = readCaptureFacts(files[0]);
    const CaptureFacts normal = readCaptureFacts(files[1]);
    EXPECT_TRUE(dark.exposureMeasured);
    EXPECT_NEAR(normal.exposure - dark.exposure, 1.0, 0.1);  // half the brightness, a stop darker

    // A file that cannot be read has no facts but still joins a group.
    writeFile(dir_.file("broken.jpg"), "not a picture");
    const std::vector<ShotGroup> withBroken = groupShots({files[0], dir_.file("broken.jpg")}, rule("auto"));
    ASSERT_EQ(withBroken.size(), 1u);
    EXPECT_EQ(withBroken[0].files.size(), 2u);
}

} // namespace
