#include "test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quovix-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string sourceDir() { return QUOVIX_SOURCE_DIR; }

std::string programBanner()
{
#if defined(__aarch64__)
    const char* platform = "arm64";
#else
    const char* platform = "x64";
#endif
    return std::string(29, ' ') + versionString() + " (" + platform + ")\n\n";
}

Options testOptions(const std::string& tempFolder)
{
    Options options;
    options.tempFolder = tempFolder;
    options.workerCount = 1;
    options.onMessage = [](MessageKind, std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    };
    return options;
}

TestRun::TestRun(int workers)
{
    reset(workers);
}

TestRun::TestRun(Options options)
{
    reset(std::move(options));
}

void TestRun::reset(int workers)
{
    Options options = testOptions(dir_.path());
    options.workerCount = workers;
    reset(std::move(options));
}

void TestRun::reset(Options options)
{
    if (options.tempFolder.empty())
        options.tempFolder = dir_.path();
    run_.reset();
    run_.emplace(options);
}

namespace {

// The program in a child process; its standard error joins the output, or
// goes to `errorFile` when one is named.
CommandResult runChild(const std::vector<std::string>& args, const std::string& workDir,
                       const std::vector<std::string>& env,
                       const std::function<bool(pid_t pid, const std::string& output)>& watch,
                       const std::string& errorFile)
{
    CommandResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return result;

    std::vector<std::string> argStrings;
    argStrings.push_back(QUOVIX_BIN);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    for (const auto& extra : env) {
        std::string name = extra.substr(0, extra.find('='));
        std::erase_if(envStrings, [&](const std::string& s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
        if (extra.find('=') != std::string::npos)
            envStrings.push_back(extra);
    }
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        const int errors = errorFile.empty() ? pipeFds[1] : open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (errors < 0)
            _exit(127);
        dup2(errors, 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) {
        result.output.append(buf, static_cast<size_t>(n));
        if (watch && !watch(pid, result.output))
            break;
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

} // namespace

CommandResult runQuovix(const std::vector<std::string>& args, const std::string& workDir,
                        const std::vector<std::string>& env)
{
    return runChild(args, workDir, env, nullptr, "");
}

CommandResult runQuovixWatched(const std::vector<std::string>& args, const std::string& workDir,
                               const std::vector<std::string>& env,
                               const std::function<bool(pid_t pid, const std::string& output)>& watch)
{
    return runChild(args, workDir, env, watch, "");
}

CommandResult runQuovixApart(const std::vector<std::string>& args, const std::string& workDir,
                             const std::vector<std::string>& env)
{
    TempDir dir;
    const std::string errorFile = dir.file("stderr");
    CommandResult result = runChild(args, workDir, env, nullptr, errorFile);
    result.errors = readFile(errorFile);
    return result;
}

std::string captureOutput(const std::function<void()>& body)
{
    char name[] = "/tmp/quovix-capture-XXXXXX";
    int fd = mkstemp(name);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = readFile(name);
    unlink(name);
    return text;
}

std::string findOnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
        start = end + 1;
    }
    return std::string();
}

bool programOnPath(const std::string& program)
{
    return !findOnPath(program).empty();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool fileExists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}
