// Whole runs of the built program on small crops of a real hand-held bracket
// (tests/data/crusader_crop: frame 4 darkest, 1, 6 and 2 close together, 5
// brightest).
#include "test_util.h"
#include "image_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string frame(int n)
{
    return sourceDir() + "/tests/data/crusader_crop/crusader" + std::to_string(n) + ".tif";
}

double meanOf(const FixtureImage& image)
{
    double sum = 0.0;
    size_t count = 0;
    const double scale = image.bits == 16 ? 1.0 / 257.0 : 1.0;
    for (size_t k = 0; k < image.data.size(); ++k) {
        if (image.samples == 4 && k % 4 == 3)
            continue;
        sum += image.data[k] * scale;
        ++count;
    }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

double spreadOf(const FixtureImage& image)
{
    const double mean = meanOf(image);
    const double scale = image.bits == 16 ? 1.0 / 257.0 : 1.0;
    double sum = 0.0;
    size_t count = 0;
    for (size_t k = 0; k < image.data.size(); ++k) {
        if (image.samples == 4 && k % 4 == 3)
            continue;
        double d = image.data[k] * scale - mean;
        sum += d * d;
        ++count;
    }
    return std::sqrt(sum / static_cast<double>(count));
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        temp_ = dir_.file("tmp");
        std::filesystem::create_directory(temp_);
        if (!fileExists(QUOVIX_BIN))
            GTEST_SKIP() << "quovix binary not built";
    }

    CommandResult run(std::vector<std::string> args)
    {
        return runQuovix(args, dir_.path(), {"TMPDIR=" + temp_});
    }

    // The private temporary folder of the runs (holds only preview caches and
    // the per-run folders).
    std::string privateFolder() const { return temp_ + "/quovix-" + std::to_string(getuid()); }

    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(privateFolder(), ec))
            names.push_back(entry.path().string());
        return names;
    }

    // A fused RGBA result of the bracket: its size, present everywhere, with a
    // brightness between the darkest and brightest input and real structure.
    void expectPlausible(const FixtureImage& fused, int bits = 8)
    {
        ASSERT_EQ(160, fused.width);
        ASSERT_EQ(120, fused.height);
        ASSERT_EQ(4, fused.samples);
        ASSERT_EQ(bits, fused.bits);
        const uint16_t opaque = bits == 16 ? 65535 : 255;
        for (size_t k = 3; k < fused.data.size(); k += 4)
            ASSERT_EQ(opaque, fused.data[k]);
        const double mean = meanOf(fused);
        EXPECT_GT(mean, meanOf(readFixtureTiff(frame(4))));
        EXPECT_LT(mean, meanOf(readFixtureTiff(frame(5))));
        EXPECT_GT(spreadOf(fused), 20.0);
    }

    TempDir dir_;
    std::string temp_;
};

TEST_F(EndToEndTest, BracketWithOneGroup)
{
    const std::string out = dir_.file("fused.tif");
    CommandResult r = run({"-o", out, frame(4), frame(1), frame(6), frame(5)});
    ASSERT_EQ(0, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("Iteration 1: 4 images remain to be fused in 1 groups\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("Iteration 2: 3 images remain to be fused\n")) << r.output;
    expectPlausible(readFixtureTiff(out));
    // Nothing but (here: no) preview caches stays behind.
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
}

TEST_F(EndToEndTest, DriverMessages)
{
    const std::string out = dir_.file("fused.tif");
    CommandResult all = run({"-o", out, frame(1), frame(6), frame(2)});
    ASSERT_EQ(0, all.exitCode) << all.output;
    EXPECT_NE(std::string::npos, all.output.find("Iteration 1: 3 images remain to be fused in 1 groups\n"));
    EXPECT_NE(std::string::npos, all.output.find("Iteration 2: No images remain to be fused\n")) << all.output;
    EXPECT_EQ(160, readFixtureTiff(out).width);
    EXPECT_EQ(std::vector<std::string>{}, leftovers());

    CommandResult none = run({"-o", out, frame(4), frame(1), frame(5)});
    ASSERT_EQ(0, none.exitCode) << none.output;
    EXPECT_NE(std::string::npos,
              none.output.find("Iteration 1: No similar exposures found\nIteration 2: 3 images remain to be fused\n"))
        << none.output;

    CommandResult single = run({"-p", "1", "-o", out, frame(4), frame(1), frame(6), frame(5)});
    ASSERT_EQ(0, single.exitCode) << single.output;
    EXPECT_EQ(std::string::npos, single.output.find("Iteration 1")) << single.output;
    EXPECT_NE(std::string::npos, single.output.find("Iteration 2: 4 images remain to be fused\n"));
    expectPlausible(readFixtureTiff(out));
}

TEST_F(EndToEndTest, OptionsGivePlausibleDistinctResults)
{
    const std::vector<std::string> inputs = {frame(4), frame(1), frame(6), frame(5)};
    auto fuse = [&](const std::string& name, std::vector<std::string> options) {
        options.push_back("-o");
        options.push_back(dir_.file(name));
        options.insert(options.end(), inputs.begin(), inputs.end());
        CommandResult r = run(options);
        EXPECT_EQ(0, r.exitCode) << name << "\n" << r.output;
        return readFixtureTiff(dir_.file(name));
    };
    const FixtureImage base = fuse("base.tif", {});
    expectPlausible(base);
    const std::map<std::string, std::vector<std::string>> variants = {
        {"p1.tif", {"-p", "1"}},
        {"max.tif", {"--wMode", "1"}},
        {"ycc.tif", {"-c"}},
        {"u2.tif", {"-u", "2", "--wMode2", "1"}},
        {"t0.tif", {"-t", "0", "--wMode", "1"}},
        {"t1.tif", {"-t", "1", "--wMode", "1"}},
        {"levels.tif", {"--gLevelsBP", "0.1", "--gLevelsWP", "0.9", "--gLevelsFactor", "2"}},
        {"wrap.tif", {"-w"}},
        {"l1.tif", {"-l", "1"}},
    };
    std::map<std::string, FixtureImage> results;
    for (const auto& [name, options] : variants) {
        results[name] = fuse(name, options);
        SCOPED_TRACE(name);
        expectPlausible(results[name]);
    }
    for (const char* name : {"p1.tif", "max.tif", "ycc.tif", "u2.tif", "levels.tif", "l1.tif"})
        EXPECT_NE(base.data, results[name].data) << name;
    EXPECT_NE(results["t0.tif"].data, results["t1.tif"].data);
    // Levels stretch the range: darker darks or brighter brights than before.
    EXPECT_GT(spreadOf(results["levels.tif"]), spreadOf(base));

    // The same fusion in 16 bits: the 8-bit result is its top byte. (One
    // iteration: with two, the group result itself is 16-bit and feeds the
    // second iteration with finer samples.)
    const FixtureImage deep = fuse("deep.tif", {"-p", "1", "-a", "16"});
    expectPlausible(deep, 16);
    const FixtureImage& shallow = results["p1.tif"];
    for (size_t k = 0; k < deep.data.size(); ++k) {
        if (k % 4 != 3) {
            ASSERT_EQ(shallow.data[k], deep.data[k] >> 8) << k;
        }
    }
    expectPlausible(fuse("deep2.tif", {"-a", "16"}), 16);
}

TEST_F(EndToEndTest, LevelOneBlendsPixelByPixel)
{
    const std::string out = dir_.file("l1.tif");
    CommandResult r = run({"-l", "1", "-o", out, frame(4), frame(1), frame(6), frame(5)});
    ASSERT_EQ(0, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("Collapsing.\nFinalizing")) << r.output;
    const FixtureImage fused = readFixtureTiff(out);
    std::vector<FixtureImage> in;
    for (int n : {4, 1, 6, 5})
        in.push_back(readFixtureTiff(frame(n)));
    // No expansion: every sample lies within the inputs' samples at that pixel.
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 160; ++x) {
            for (int c = 0; c < 3; ++c) {
                int lo = 255, hi = 0;
                for (const FixtureImage& f : in) {
                    lo = std::min<int>(lo, f.at(y, x, c));
                    hi = std::max<int>(hi, f.at(y, x, c));
                }
                ASSERT_GE(fused.at(y, x, c), lo) << x << "," << y;
                ASSERT_LE(fused.at(y, x, c), hi) << x << "," << y;
            }
        }
    }
}

TEST_F(EndToEndTest, SingleImageFusesToItself)
{
    const FixtureImage input = readFixtureTiff(frame(1));
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, std::vector<std::string>{"-c"}, std::vector<std::string>{"--wMode", "1"}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-o", dir_.file("self.tif"), frame(1)});
        CommandResult r = run(args);
        ASSERT_EQ(0, r.exitCode) << r.output;
        const FixtureImage fused = readFixtureTiff(dir_.file("self.tif"));
        ASSERT_EQ(160, fused.width);
        const int tolerance = options.empty() || options[0] != "-c" ? 0 : 1; // YCrCb there and back rounds
        int worst = 0;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(int(input.at(y, x, c)) - int(fused.at(y, x, c))));
        EXPECT_LE(worst, tolerance) << (options.empty() ? "default" : options[0]);
    }
}

TEST_F(EndToEndTest, JpegOutputAndKeptGroupResults)
{
    const std::string out = dir_.file("fused.jpg");
    CommandResult r = run({"-f", "-a", "16", "-o", out, frame(4), frame(1), frame(6), frame(5)});
    ASSERT_EQ(0, r.exitCode) << r.output;
    const std::string bytes = readFile(out);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ("\xFF\xD8\xFF", bytes.substr(0, 3));
    // -f keeps the group result in the run's folder and says where.
    EXPECT_NE(std::string::npos, r.output.find("Scratch files kept in ")) << r.output;
    bool groupKept = false;
    for (const std::string& name : leftovers())
        groupKept = groupKept || name.find("fcsblend01_t_841.tif") != std::string::npos;
    EXPECT_TRUE(groupKept);
}

TEST_F(EndToEndTest, OutputThatCannotBeWritten)
{
    const std::string out = dir_.file("no/such/folder/fused.tif");
    CommandResult r = run({"-o", out, frame(4), frame(5)});
    EXPECT_EQ(255, r.exitCode) << r.output;
    // Found before any work, in a line that names the folder and the reason.
    EXPECT_NE(std::string::npos, r.output.find("Cannot write output file " + out + ": folder " + dir_.file("no/such/folder") +
                                               ": No such file or directory\n"))
        << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("Analyzing")) << r.output;
    EXPECT_FALSE(fileExists(out));
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
}

// The result is renamed into place: an existing FIFO, device or folder under
// the output name would be replaced by a regular file. Refused before any work.
TEST_F(EndToEndTest, OutputThatIsNotARegularFileIsRefused)
{
    const std::string fifo = dir_.file("pipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string folder = dir_.file("folder.tif");
    std::filesystem::create_directory(folder);
    for (const std::string& out : {fifo, folder}) {
        CommandResult r = run({"-o", out, frame(4), frame(5)});
        EXPECT_EQ(1, r.exitCode) << r.output;
        EXPECT_NE(std::string::npos,
                  r.output.find("Fatal Error: Output file " + out + " exists and is not a regular file\n"))
            << r.output;
        EXPECT_EQ(std::string::npos, r.output.find("Analyzing")) << r.output;
    }
    struct stat st{};
    ASSERT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(0, lstat(folder.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
}

TEST_F(EndToEndTest, ConcurrentRunsMatchASoloRun)
{
    const std::vector<std::string> inputs = {frame(4), frame(1), frame(6), frame(5)};
    auto args = [&](const std::string& name) {
        std::vector<std::string> a = {"-o", dir_.file(name)};
        a.insert(a.end(), inputs.begin(), inputs.end());
        return a;
    };
    CommandResult solo = run(args("solo.tif"));
    ASSERT_EQ(0, solo.exitCode) << solo.output;
    CommandResult first, second;
    std::thread a([&] { first = run(args("a.tif")); });
    std::thread b([&] { second = run(args("b.tif")); });
    a.join();
    b.join();
    ASSERT_EQ(0, first.exitCode) << first.output;
    ASSERT_EQ(0, second.exitCode) << second.output;
    const FixtureImage reference = readFixtureTiff(dir_.file("solo.tif"));
    ASSERT_EQ(160, reference.width);
    EXPECT_EQ(reference.data, readFixtureTiff(dir_.file("a.tif")).data);
    EXPECT_EQ(reference.data, readFixtureTiff(dir_.file("b.tif")).data);
    EXPECT_EQ(std::vector<std::string>{}, leftovers());
}

TEST_F(EndToEndTest, ResourceTraceBalances)
{
    CommandResult r = run({"-dm", "-c", "-o", dir_.file("fused.tif"), frame(4), frame(1), frame(6), frame(5)});
    ASSERT_EQ(0, r.exitCode) << r.output;
    // Trace lines may follow progress dots on the same line: take each
    // "Mem|" or "File|" record up to the end of its line.
    auto records = [&](const std::string& prefix) {
        std::vector<std::vector<std::string>> found;
        for (size_t at = r.output.find(prefix); at != std::string::npos; at = r.output.find(prefix, at + 1)) {
            size_t end = r.output.find('\n', at);
            std::string line = r.output.substr(at, end == std::string::npos ? std::string::npos : end - at);
            std::vector<std::string> fields;
            size_t from = 0;
            for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', from)) {
                fields.push_back(line.substr(from, bar - from));
                from = bar + 1;
            }
            fields.push_back(line.substr(from));
            found.push_back(fields);
        }
        return found;
    };
    std::set<std::string> heap, pages, files;
    // Sequence numbers of each kind. Worker threads allocate and release rows
    // concurrently, so two numbers may be printed out of order; each number
    // must still appear exactly once.
    std::map<std::string, std::set<int>> numbers;
    std::map<std::string, int> next;
    size_t allocs = 0, opens = 0;
    for (const auto& f : records("Mem|")) {
        ASSERT_GE(f.size(), 4u);
        const std::string& kind = f[2];
        const std::string& ptr = f[3];
        ++next[kind];
        EXPECT_TRUE(numbers[kind].insert(std::stoi(f[1])).second) << kind << " number repeated: " << f[1];
        if (kind == "alloc") {
            EXPECT_TRUE(heap.insert(ptr).second) << "alloc of a live block " << ptr;
            ++allocs;
        } else if (kind == "free") {
            EXPECT_EQ(1u, heap.erase(ptr)) << "free without alloc " << ptr;
        } else if (kind == "vAlloc") {
            EXPECT_TRUE(pages.insert(ptr).second) << ptr;
        } else {
            ASSERT_EQ("vFree", kind);
            EXPECT_EQ(1u, pages.erase(ptr)) << "vFree without vAlloc " << ptr;
        }
    }
    for (const auto& f : records("File|")) {
        ASSERT_GE(f.size(), 4u);
        const std::string& ptr = f.back();
        const std::string& action = f[f.size() - 2];
        if (action.rfind("open(", 0) == 0) {
            EXPECT_TRUE(files.insert(ptr).second) << f[1];
            ++opens;
        } else {
            ASSERT_EQ("close", action);
            ++next["close"];
            EXPECT_TRUE(numbers["close"].insert(std::stoi(f[1])).second) << "close number repeated: " << f[1];
            EXPECT_EQ(1u, files.erase(ptr)) << "close without open " << ptr;
        }
    }
    EXPECT_GT(allocs, 50u);
    EXPECT_GT(opens, 50u);
    for (const auto& [kind, seen] : numbers) {
        // 0 .. count - 1 without gaps.
        EXPECT_EQ(0, *seen.begin()) << kind;
        EXPECT_EQ(next[kind] - 1, *seen.rbegin()) << kind;
    }
    EXPECT_EQ(next["alloc"], next["free"]);
    EXPECT_GT(next["vAlloc"], 0);
    std::string unfreed;
    for (const std::string& ptr : heap)
        unfreed += " " + ptr;
    EXPECT_TRUE(heap.empty()) << heap.size() << " blocks never freed:" << unfreed;
    EXPECT_TRUE(pages.empty()) << pages.size() << " page regions never freed";
    EXPECT_TRUE(files.empty()) << files.size() << " files never closed";
}

} // namespace
