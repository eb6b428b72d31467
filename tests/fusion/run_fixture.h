// In-process runs for the fusion and driver tests: small generated inputs,
// parsed, validated and analysed as the entry does, then fused by the test.
#pragma once

#include "analysis/analyse_images.h"
#include "analysis/exposure_curve.h"
#include "app/command_line.h"
#include "fusion/level_files.h"
#include "fusion/run_setup.h"
#include "fusion/settings_check.h"
#include "image_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

// A textured RGB scene; `gain` scales its brightness (100 = nominal).
inline FixtureImage makeScene(int width, int height, int gain, int bits = 8, int samples = 3)
{
    FixtureImage image = makeFixture(width, height, samples, bits);
    const int top = bits == 8 ? 255 : 65535;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int base[3] = {20 + 3 * x + y, 40 + 2 * y + ((x * 7 + y * 3) % 23), 200 - x - y + ((x ^ y) & 15)};
            for (int c = 0; c < 3; ++c) {
                int v = base[c] * gain / 100;
                if (bits == 16)
                    v = v * 257;
                image.at(y, x, c) = static_cast<uint16_t>(v < 0 ? 0 : (v > top ? top : v));
            }
            if (samples == 4)
                image.at(y, x, 3) = static_cast<uint16_t>(top);
        }
    }
    return image;
}

class RunTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        inputs_ = tmp_.file("in");
        mkdir(inputs_.c_str(), 0700);
    }

    std::string writeInput(const std::string& name, const FixtureImage& image)
    {
        std::string path = inputs_ + "/" + name;
        EXPECT_TRUE(writeFixtureTiff(path, image));
        return path;
    }

    // Parses the arguments (program name first is added) into a fresh run,
    // settles and validates it and analyses the inputs, as the program does;
    // returns what was printed.
    std::string prepare(const std::vector<std::string>& args, int workers = 1)
    {
        std::vector<std::string> all = {"quovix"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        CommandLine commandLine;
        int exitCode = 0;
        EXPECT_TRUE(parseCommandLine(static_cast<int>(all.size()), argv.data(), commandLine, exitCode));
        Options options = commandLine.options;
        Options defaults = testOptions(tmp_.path());
        options.tempFolder = defaults.tempFolder;
        options.onMessage = defaults.onMessage;
        options.workerCount = workers;
        testRun_.reset(options);
        EXPECT_TRUE(run.scratch.ensureRunFolder().ok());
        Status status = setupRun(run, commandLine.inputs);
        EXPECT_TRUE(status.ok()) << status.consoleText();
        validateSettings(run);
        buildCurveTables(run.settings, run.console, run.curves);
        status = analyseImages(run, run.images, run.depths.levelCount);
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return testing::internal::GetCapturedStdout();
    }

    std::string inputs_;
};
