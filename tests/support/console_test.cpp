#include "support/console.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        unsetenv("QVXTRACE");
        resetDebugLog();
    }
    TempDir dir;
};

TEST_F(DebugLogTest, UnsetVariableWritesNothing)
{
    unsetenv("QVXTRACE");
    resetDebugLog();
    testing::internal::CaptureStdout();
    debugLog("Opening (w): %s", "x.tif");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DebugLogTest, LinesCarryTimeStampAndAppend)
{
    std::string log = dir.file("trace.log");
    writeFile(log, "earlier content\n");
    setenv("QVXTRACE", log.c_str(), 1);
    resetDebugLog();
    debugLog("setTiffSamplesPerPixel: %d", 4);
    debugLog("Setting dimensions: %dx%d", 640, 480);

    std::string text = readFile(log);
    std::regex pattern("earlier content\n"
                       "-- [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} --> setTiffSamplesPerPixel: 4\n"
                       "-- [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} --> Setting dimensions: 640x480\n");
    EXPECT_TRUE(std::regex_match(text, pattern)) << text;
}

TEST_F(DebugLogTest, UnwritableLogReportsAndContinues)
{
    std::string log = dir.file("missing-folder/trace.log");
    setenv("QVXTRACE", log.c_str(), 1);
    resetDebugLog();
    testing::internal::CaptureStdout();
    debugLog("first");
    debugLog("second");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot open debug output file: " + log + "Cannot open debug output file: " + log);
}

TEST_F(DebugLogTest, OverlongMessageIsCut)
{
    std::string log = dir.file("long.log");
    setenv("QVXTRACE", log.c_str(), 1);
    resetDebugLog();
    std::string huge(20000, 'x');
    debugLog("%s", huge.c_str());
    std::string text = readFile(log);
    // Prefix "-- hh:mm:ss.mmm --> " (20 bytes), 8191 message bytes, line end.
    EXPECT_EQ(text.size(), 20u + 8191u + 1u);
}

TEST(ErrorBox, PrintsTheMessageLine)
{
    testing::internal::CaptureStdout();
    showErrorBox("Cannot open JPEG file: %s", "a.jpg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open JPEG file: a.jpg\n");
}

TEST(FatalError, PrintsAndExitsWithTheCode)
{
    EXPECT_EXIT(fatalError("Not enough images specified for fusion", 1), testing::ExitedWithCode(1),
                "");
    EXPECT_EXIT(
        {
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            fatalError("boom\n", kExitIoError);
        },
        testing::ExitedWithCode(255), "");
}

TEST(WorkerCount, EnvironmentRules)
{
    struct Case {
        const char* value;
        int expected;
    } cases[] = {{"0", 1}, {"-3", 1}, {"abc", 1}, {"", 1}, {"3", 3}, {"8", 8},
                 {"16", 8}, {"4xyz", 4}, {"99999999999999999999", 8}};
    for (const Case& c : cases) {
        setenv("NUMBER_OF_PROCESSORS", c.value, 1);
        EXPECT_EQ(workerCountFromEnvironment(), c.expected) << "value '" << c.value << "'";
    }
    unsetenv("NUMBER_OF_PROCESSORS");
    int online = workerCountFromEnvironment();
    EXPECT_GE(online, 1);
    EXPECT_LE(online, 8);
}

} // namespace
