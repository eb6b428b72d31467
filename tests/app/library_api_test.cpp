// The public interface against the program: quovix::fuse() run one after
// another and two at the same time in one process must write the very bytes
// the program writes, pass the program's console text to the callback, and
// end with the program's exit code and final text, leaving no scratch folder.
#include "quovix/quovix.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const std::string kBanner = programBanner();

std::string frame(int n)
{
    return sourceDir() + "/tests/data/crusader_crop/crusader" + std::to_string(n) + ".tif";
}

// The bracket: 4 darkest, 1, 6 and 2 close together (one group), 5 brightest.
std::vector<std::string> allFrames()
{
    return {frame(4), frame(1), frame(6), frame(2), frame(5)};
}

// A real frame whose compressed pixels are damaged: it classifies, but a run
// fails while reading it, after the earlier inputs were analysed.
void writeDamagedFrame(const std::string& path)
{
    std::string bytes = readFile(frame(2));
    ASSERT_GT(bytes.size(), 20000u);
    for (size_t i = 9000; i < 15000; ++i)
        bytes[i] = static_cast<char>(i * 37);
    writeFile(path, bytes);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Scratch paths differ between runs only by the temporary folder and the
// random name of the run's own folder in it: both become "<run folder>".
std::string withoutRunFolder(std::string text, const std::string& temp)
{
    const std::string prefix = temp + "/quovix-" + std::to_string(getuid()) + "/run-";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at)) {
        const size_t end = text.find('/', at + prefix.size());
        if (end == std::string::npos)
            break;
        text.replace(at, end - at, "<run folder>");
    }
    return text;
}

// One way of running the fusion, as program arguments and as the same
// choices made on the library's options.
struct OptionSet {
    const char* name;
    std::vector<std::string> args;
    void (*apply)(Options&);
    std::vector<std::string> inputs;
};

void PrintTo(const OptionSet& set, std::ostream* os) { *os << set.name; }

const std::vector<OptionSet>& optionSets()
{
    static const std::vector<OptionSet> sets = {
        {"Defaults", {}, [](Options&) {}, allFrames()},
        {"YCrCb", {"-c"}, [](Options& o) { o.useYCrCb = true; }, allFrames()},
        // A brighter and a darker copy of every input, made in the run's scratch folder.
        {"Bracketing", {"-b", "1"},
         [](Options& o) {
             o.plusStops = 1.0f;
             o.minusStops = -1.0f;
         },
         {frame(4), frame(5)}},
        {"OneIterationMaximumDeep", {"-p", "1", "--wMode2", "1", "-a", "16", "--compression", "PACKBITS"},
         [](Options& o) {
             o.iterationCount = 1;
             o.iteration2.mode = CombineMode::Maximum;
             o.outputBits = 16;
             o.compression = Compression::PackBits;
         },
         allFrames()},
        // Alignment sets OpenCV's thread count for the process: concurrent
        // runs must still give the bytes of two processes.
        {"Align", {"--align"}, [](Options& o) { o.align = true; }, allFrames()},
    };
    return sets;
}

class LibraryApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fileExists(QUOVIX_BIN))
            GTEST_SKIP() << "quovix binary not built";
    }

    // A new empty folder in the test's folder.
    std::string folder(const std::string& name)
    {
        const std::string path = dir_.file(name);
        std::filesystem::create_directories(path);
        return path;
    }

    struct ProgramResult {
        int exitCode = -1;   // as the shell sees it; -1 when it did not exit
        std::string output;  // standard output: the console text
        std::string errors;  // standard error (libtiff's own error lines)
    };

    // The program in its own process, with its own temporary folder and
    // worker count, standard output and standard error kept apart.
    ProgramResult runProgram(const std::vector<std::string>& options, const std::vector<std::string>& inputs,
                             const std::string& output, const std::string& temp, int workers = 2)
    {
        std::vector<std::string> args = {QUOVIX_BIN};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-o", output});
        args.insert(args.end(), inputs.begin(), inputs.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("NUMBER_OF_PROCESSORS=", 0) != 0)
                env.push_back(entry);
        }
        env.push_back("TMPDIR=" + temp);
        env.push_back("NUMBER_OF_PROCESSORS=" + std::to_string(workers));
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        const std::string outFile = dir_.file("program.out"), errFile = dir_.file("program.err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ProgramResult result;
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
        if (rc != 0)
            return result;
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
        result.output = readFile(outFile);
        result.errors = readFile(errFile);
        return result;
    }

    // Standard error holds nothing but the program's closing summary of `out`.
    static void expectOnlySummary(const ProgramResult& r, const std::string& out)
    {
        const std::string head = "Wrote " + out + ": ";
        ASSERT_EQ(r.errors.rfind(head, 0), 0u) << r.errors;
        static const std::regex rest(R"(\d+x\d+ pixels, (8|16) bits per sample, \d+\.\d MB, \d+\.\d s\n)");
        EXPECT_TRUE(std::regex_match(r.errors.substr(head.size()), rest)) << r.errors;
    }

    // Library options: the set's choices, two workers, the given temporary
    // folder, every message appended to `messages`.
    static Options libraryOptions(void (*apply)(Options&), const std::string& temp, std::string& messages)
    {
        Options options;
        apply(options);
        options.workerCount = 2;
        options.tempFolder = temp;
        options.onMessage = [&messages](MessageKind, std::string_view text) { messages.append(text); };
        return options;
    }

    // What the program printed after its banner.
    static std::string afterBanner(const ProgramResult& r)
    {
        EXPECT_EQ(r.output.rfind(kBanner, 0), 0u) << r.output;
        return r.output.rfind(kBanner, 0) == 0 ? r.output.substr(kBanner.size()) : r.output;
    }

    // Everything left in a temporary folder a run used: preview caches and
    // scratch folders alike.
    static std::vector<std::string> leftovers(const std::string& temp)
    {
        std::vector<std::string> names;
        std::error_code ec;
        const std::string privateFolder = temp + "/quovix-" + std::to_string(getuid());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(privateFolder, ec))
            names.push_back(entry.path().string());
        return names;
    }

    TempDir dir_;
};

class SameBytesTest : public LibraryApiTest, public ::testing::WithParamInterface<OptionSet> {};

// Two runs one after the other and two at the same time on two threads, each
// with two workers, against two separate program processes (one and two
// workers): every output file holds the same bytes, and every run's callback
// received exactly the program's console text (its own output name in it).
TEST_P(SameBytesTest, FuseWritesTheProgramsBytesAndText)
{
    const OptionSet& set = GetParam();
    const std::string programOut = dir_.file("program.tif");
    const std::string programTemp = folder("t-program2");
    const ProgramResult solo = runProgram(set.args, set.inputs, programOut, folder("t-program1"), 1);
    ASSERT_EQ(solo.exitCode, 0) << solo.output << solo.errors;
    expectOnlySummary(solo, programOut);
    const std::string reference = readFile(programOut);
    ASSERT_GT(reference.size(), 1000u);
    EXPECT_EQ(reference.substr(0, 4), std::string("II*\0", 4));

    const std::string program2Out = dir_.file("program2.tif");
    const ProgramResult pair = runProgram(set.args, set.inputs, program2Out, programTemp, 2);
    ASSERT_EQ(pair.exitCode, 0) << pair.output << pair.errors;
    expectOnlySummary(pair, program2Out);
    EXPECT_TRUE(readFile(program2Out) == reference) << "program with one and with two workers";
    const std::string programText =
        withoutRunFolder(replaceAll(afterBanner(pair), program2Out, programOut), programTemp);
    EXPECT_NE(programText.find("Output: " + programOut + "\n"), std::string::npos) << programText;

    struct LibraryRun {
        std::string output, temp, messages;
        FuseResult result;
    };
    std::vector<LibraryRun> runs(4);
    for (size_t i = 0; i < runs.size(); ++i) {
        runs[i].output = dir_.file("library" + std::to_string(i) + ".tif");
        runs[i].temp = folder("t-library" + std::to_string(i));
    }
    auto fuseRun = [&set](LibraryRun& r) {
        r.result = fuse(libraryOptions(set.apply, r.temp, r.messages), set.inputs, r.output);
    };
    // One after the other in this process...
    fuseRun(runs[0]);
    fuseRun(runs[1]);
    // ...and two at the same time.
    std::thread first([&] { fuseRun(runs[2]); });
    std::thread second([&] { fuseRun(runs[3]); });
    first.join();
    second.join();

    for (size_t i = 0; i < runs.size(); ++i) {
        const LibraryRun& r = runs[i];
        SCOPED_TRACE(i < 2 ? "run " + std::to_string(i) + " of two in a row" : "run " + std::to_string(i) + ", concurrent");
        ASSERT_TRUE(r.result.ok()) << r.result.exitCode << ": " << r.result.error;
        EXPECT_EQ(r.result.error, "");
        EXPECT_EQ(r.result.outputPath, r.output);
        EXPECT_EQ(r.result.keptScratch, "");
        EXPECT_TRUE(readFile(r.output) == reference) << "output bytes differ from the program's";
        EXPECT_EQ(withoutRunFolder(replaceAll(r.messages, r.output, programOut), r.temp), programText);
        EXPECT_EQ(leftovers(r.temp), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(CrusaderBracket, SameBytesTest, ::testing::ValuesIn(optionSets()),
                         [](const ::testing::TestParamInfo<OptionSet>& info) { return std::string(info.param.name); });

// Verbose text, the curve print, validation resets and the levels adjustment
// all reach the callback exactly as the program prints them after its banner,
// and nothing else does.
TEST_F(LibraryApiTest, CallbackReceivesWhatTheProgramPrints)
{
    const std::vector<std::string> inputs = allFrames();
    const std::string out = dir_.file("fused.tif");
    const std::string programTemp = folder("t-program");
    const ProgramResult program =
        runProgram({"-v", "-C", "-k", "11", "--wMode1", "5", "--gLevelsBP", "0.1", "-l", "4"}, inputs, out,
                   programTemp);
    ASSERT_EQ(program.exitCode, 0) << program.output << program.errors;
    expectOnlySummary(program, out);
    const std::string programText = withoutRunFolder(afterBanner(program), programTemp);
    const std::string programBytes = readFile(out);
    ASSERT_NE(programText.find("Invalid Gamma value...resetting\n"), std::string::npos) << programText;
    ASSERT_NE(programText.find("Invalid laplacian combination mode 1...resetting\n"), std::string::npos);
    ASSERT_NE(programText.find("URL For Exposure Curve Chart:"), std::string::npos);
    ASSERT_NE(programText.find("Input file list:\n"), std::string::npos);
    ASSERT_NE(programText.find("Performing levels adjustment: bp=0.10"), std::string::npos);

    std::remove(out.c_str());
    std::string messages;
    std::vector<MessageKind> kinds;
    const std::string libraryTemp = folder("t-library");
    Options options = libraryOptions(
        [](Options& o) {
            o.verbosity = 1;
            o.printCurve = true;
            o.gamma = 11.0f;
            o.iteration1.mode = static_cast<CombineMode>(5);
            o.levelsAdjust.enabled = true;
            o.levelsAdjust.blackPoint = 0.1f;
            o.levelCount = 4;
        },
        libraryTemp, messages);
    options.onMessage = [&](MessageKind kind, std::string_view text) {
        kinds.push_back(kind);
        messages.append(text);
    };
    const FuseResult result = fuse(options, inputs, out);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(withoutRunFolder(messages, libraryTemp), programText);
    EXPECT_TRUE(readFile(out) == programBytes);
    // Without traceResources there is no trace text; the resets are notices.
    int notices = 0;
    for (MessageKind kind : kinds) {
        EXPECT_TRUE(kind == MessageKind::Info || kind == MessageKind::Notice) << static_cast<int>(kind);
        notices += kind == MessageKind::Notice;
    }
    EXPECT_EQ(notices, 2);
}

// A failed run: the program's exit code (as the shell sees it) and its final
// text; the callback got exactly what the program printed before that text;
// and the run's scratch folder is gone from the temporary folder.
TEST_F(LibraryApiTest, ErrorsComeBackAsTheProgramEndsThem)
{
    // A TIFF header and nothing readable behind it.
    const std::string broken = dir_.file("broken.tif");
    writeFile(broken, std::string("II*\0", 4) + std::string(200, '\x5a'));
    const std::string damaged = dir_.file("damaged.tif");
    writeDamagedFrame(damaged);

    struct Case {
        const char* name;
        std::vector<std::string> inputs;
        std::string output;
        bool libtiffComplains;  // libtiff's own error lines go to standard error
        const char* reached;    // how far the run got (scratch files were written)
        ErrorKind kind;
    };
    const Case cases[] = {
        {"missing input", {frame(4), dir_.file("missing.tif"), frame(5)}, dir_.file("a.tif"), false, "", ErrorKind::Input},
        {"unreadable TIFF", {frame(4), broken, frame(5)}, dir_.file("b.tif"), true, "", ErrorKind::Input},
        {"damaged pixels", {frame(4), frame(1), damaged}, dir_.file("c.tif"), true, "[3/3] Analyzing ",
         ErrorKind::Input},
        {"output in a missing folder", allFrames(), dir_.file("no/such/folder/d.tif"), false, "",
         ErrorKind::Output},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string programTemp = folder("t-program" + std::to_string(n));
        const std::string libraryTemp = folder("t-library" + std::to_string(n));
        ++n;
        const ProgramResult program = runProgram({}, k.inputs, k.output, programTemp);
        ASSERT_NE(program.exitCode, 0) << program.output;
        EXPECT_EQ(program.errors.empty(), !k.libtiffComplains) << program.errors;

        std::string messages;
        const FuseResult result = fuse(libraryOptions([](Options&) {}, libraryTemp, messages), k.inputs, k.output);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.exitCode & 0xFF, program.exitCode);
        EXPECT_EQ(result.errorKind, k.kind);
        EXPECT_FALSE(result.error.empty());
        EXPECT_NE(messages.find(k.reached), std::string::npos) << messages;
        EXPECT_EQ(withoutRunFolder(messages + result.error, libraryTemp),
                  withoutRunFolder(afterBanner(program), programTemp));
        EXPECT_EQ(result.keptScratch, "");
        EXPECT_FALSE(fileExists(k.output));
        EXPECT_EQ(leftovers(libraryTemp), std::vector<std::string>{});
        EXPECT_EQ(leftovers(programTemp), std::vector<std::string>{});
    }
}

// Asked to keep scratch files, a run names the folder it kept, after a
// failure as after a success, and that folder holds the files.
// A callback that throws, wherever in the run and on whichever thread (the
// resource trace reports from the workers): the run ends with an error value
// naming the exception, commits no output and leaves no file behind.
TEST_F(LibraryApiTest, ThrowingCallbackEndsTheRunCleanly)
{
    const std::vector<std::string> inputs = {frame(4), frame(1), frame(5)};
    auto options = [](const std::string& temp, int throwAt, int& calls) {
        Options o;
        o.workerCount = 2;
        o.traceResources = true;
        o.tempFolder = temp;
        o.onMessage = [&calls, throwAt](MessageKind, std::string_view) {
            if (++calls == throwAt)
                throw std::runtime_error("boom " + std::to_string(throwAt));
        };
        return o;
    };
    int total = 0;
    {
        const std::string temp = folder("t-count");
        ASSERT_TRUE(fuse(options(temp, -1, total), inputs, dir_.file("counted.tif")).ok());
        ASSERT_GT(total, 40);
    }
    for (int throwAt : {1, total / 5, total / 2, total * 4 / 5, total}) {
        SCOPED_TRACE("callback throws at message " + std::to_string(throwAt) + " of " + std::to_string(total));
        const std::string temp = folder("t-throw" + std::to_string(throwAt));
        const std::string outFolder = folder("out" + std::to_string(throwAt));
        const std::string out = outFolder + "/fused.tif";
        writeFile(out, "old");
        int calls = 0;
        const FuseResult result = fuse(options(temp, throwAt, calls), inputs, out);
        EXPECT_EQ(result.exitCode, kExitFatal);
        EXPECT_EQ(result.errorKind, ErrorKind::Callback);
        EXPECT_EQ(result.error, "Fatal Error: The message callback threw: boom " + std::to_string(throwAt) + "\n");
        EXPECT_EQ(calls, throwAt) << "the callback is not called again";
        // Every message comes before the output is renamed into place.
        EXPECT_EQ(readFile(out), "old");
        EXPECT_EQ(leftovers(temp), std::vector<std::string>{});
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(outFolder)) {
            (void)entry;
            ++files;
        }
        EXPECT_EQ(files, 1u);
    }
}

TEST_F(LibraryApiTest, KeptScratchNamesAnExistingFolder)
{
    const std::vector<std::string> inputs = allFrames();
    {
        SCOPED_TRACE("group results kept after a success");
        std::string messages;
        const std::string temp = folder("t-group");
        const FuseResult result = fuse(
            libraryOptions([](Options& o) { o.keepGroupResults = true; }, temp, messages), inputs, dir_.file("g.tif"));
        ASSERT_TRUE(result.ok()) << result.error;
        ASSERT_NE(result.keptScratch, "");
        EXPECT_TRUE(std::filesystem::is_directory(result.keptScratch)) << result.keptScratch;
        EXPECT_EQ(result.keptScratch.rfind(temp + "/", 0), 0u) << result.keptScratch;
        EXPECT_TRUE(fileExists(result.keptScratch + "/fcsblend01_t_841.tif"));
        // The kept folder is all that is left.
        for (const std::string& name : leftovers(temp))
            EXPECT_EQ(name.rfind(result.keptScratch, 0), 0u) << name;
        // Saying where is the caller's part.
        EXPECT_EQ(messages.find("Scratch files kept"), std::string::npos);
    }
    {
        SCOPED_TRACE("every scratch file kept after a failure");
        std::string messages;
        const std::string temp = folder("t-debug");
        const std::string out = dir_.file("d.tif");
        const std::string damaged = dir_.file("damaged.tif");
        writeDamagedFrame(damaged);
        const std::vector<std::string> inputs = {frame(4), frame(1), damaged};
        const FuseResult result =
            fuse(libraryOptions([](Options& o) { o.debugKeep = true; }, temp, messages), inputs, out);
        EXPECT_FALSE(result.ok());
        EXPECT_NE(messages.find("[3/3] Analyzing "), std::string::npos) << messages;
        ASSERT_NE(result.keptScratch, "");
        EXPECT_TRUE(std::filesystem::is_directory(result.keptScratch)) << result.keptScratch;
        EXPECT_EQ(result.keptScratch.rfind(temp + "/", 0), 0u) << result.keptScratch;
        EXPECT_FALSE(std::filesystem::is_empty(result.keptScratch));

        // The program names its own kept folder last, after the final text.
        const std::string programTemp = folder("t-debug-program");
        const ProgramResult program = runProgram({"-d"}, inputs, out, programTemp);
        EXPECT_EQ(program.exitCode, result.exitCode & 0xFF);
        const std::string text = afterBanner(program);
        const std::string keptLine = "Scratch files kept in ";
        const size_t kept = text.rfind(result.error + keptLine + programTemp + "/");
        ASSERT_NE(kept, std::string::npos) << text;
        const std::string programKept = text.substr(kept + result.error.size() + keptLine.size());
        ASSERT_FALSE(programKept.empty());
        EXPECT_EQ(programKept.back(), '\n');
        EXPECT_TRUE(std::filesystem::is_directory(programKept.substr(0, programKept.size() - 1))) << programKept;
    }
}

} // namespace
