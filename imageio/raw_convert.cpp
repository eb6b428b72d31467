// Camera RAW files through the external converter. The converter is started
// directly with an argument vector, never through a shell, so file names and
// the --raw text cannot smuggle in commands.
#include "imageio/raw_convert.h"

#include "imageio/raw_options.h"


#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quovix {

namespace {

// Where a converter named without a slash is looked for when the run names
// no folders.
const char kDefaultSearchPath[] = "/usr/local/bin:/bin:/usr/bin";

const char kConvertFailure[] =
    "Could not convert RAW file.  Possible causes:\n"
    " (1) DCRaw not found\n"
    " (2) Image file does not exist\n"
    " (3) Image file is not a supported RAW format\n"
    " (4) This version of DCRaw does not work on this operating system\n\n";

// The converter reads every leading argument beginning with '-' or '+' as an
// option, so a relative name like "-h.cr2" is passed as "./-h.cr2".
std::string fileArgument(const std::string& path)
{
    return (!path.empty() && (path[0] == '-' || path[0] == '+')) ? "./" + path : path;
}

// Starts `program` (located by locateConverter, empty when there is none)
// with `args`, whose first is the name it was asked for. The child's standard
// output goes to outFd and its standard error to errFd, never to the host's
// own streams (our pipe ends are close-on-exec, so the child keeps only its
// copies). Returns the child's pid, or -1 with errno set when it could not be
// started.
pid_t startChild(const std::string& program, const std::vector<std::string>& args, int outFd, int errFd)
{
    if (program.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    // dup2 onto the same number also clears close-on-exec in the child.
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

// Waits for the child; its exit code, or 128 + signal number when it was killed.
int waitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// A child reading stream: the child's standard output through a pipe.
struct ChildPipe {
    FILE* stream = nullptr;
    pid_t pid = -1;
};

// Starts the converter with "-i -v <path>", its messages in the stream with
// its description; false with errno set on failure.
bool openQuery(const RunSettings& settings, const std::string& path, ChildPipe& child)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args{converterName(settings), "-i", "-v", fileArgument(path)};
    pid_t pid = startChild(locateConverter(settings), args, fds[1], fds[1]);
    int spawnErrno = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        errno = spawnErrno;
        return false;
    }
    child.stream = fdopen(fds[0], "r");
    if (!child.stream) {
        int fdErrno = errno;
        close(fds[0]);
        waitChild(pid);
        errno = fdErrno;
        return false;
    }
    child.pid = pid;
    return true;
}

void closeQuery(ChildPipe& child)
{
    std::fclose(child.stream);
    waitChild(child.pid);
}

// Leading blanks skipped, digits up to the first non-digit, clamped to int.
int parseInt(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}


}  // namespace

std::string converterName(const RunSettings& settings)
{
    return settings.converterPath.empty() ? std::string("dcraw") : settings.converterPath;
}

std::string locateConverter(const RunSettings& settings)
{
    const std::string name = converterName(settings);
    if (name.find('/') != std::string::npos)
        return name;
    const std::string folders = settings.searchPath.empty() ? kDefaultSearchPath : settings.searchPath;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : std::string(".");
        // A folder or an unreadable file of that name is passed over, as
        // the shell's search does.
        const std::string candidate = folder + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

int queryRawSize(const RunSettings& settings, const std::string& path, ImageRegion& region)
{
    ChildPipe child;
    if (!openQuery(settings, path, child))
        return 1;

    static const char kMarker[] = "Output size: ";
    bool found = false;
    char line[1024];
    while (std::fgets(line, sizeof line, child.stream)) {
        if (!std::strstr(line, kMarker))
            continue;
        const char* text = std::strrchr(line, ':') + 1;
        const char* cross = std::strchr(text, 'x');
        if (!cross)
            continue;  // not a size: leave any earlier one in place
        region.width = parseInt(text);
        region.height = parseInt(cross + 1);
        found = true;
    }
    closeQuery(child);
    return found ? 0 : 1;
}

int printRawInfo(const RunSettings& settings, Console& console, const std::string& path)
{
    ChildPipe child;
    if (!openQuery(settings, path, child)) {
        console.notice("Error %d establishing communication with dcraw\n", errno);
        return -1;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, child.stream))
        console.print("%s", line);
    closeQuery(child);
    return 0;
}

Status convertRaw(RunContext& run, const std::string& rawPath, const std::string& destPath, int stops)
{
    const float brightness = static_cast<float>(std::pow(2.0, stops));
    char brightnessText[64];
    std::snprintf(brightnessText, sizeof brightnessText, "%.2f", brightness);

    // "-c": the TIFF comes on the converter's standard output, into the run's
    // own scratch folder, so the photographer's folder (possibly read-only) is
    // never written and no file of theirs can be overwritten.
    std::vector<std::string> args{converterName(run.settings), "-c", "-T"};
    for (std::string& option : converterArguments(run.settings.converterArgs))
        args.push_back(std::move(option));
    args.push_back("-b");
    args.push_back(brightnessText);
    args.push_back(fileArgument(rawPath));

    run.console.print("\nConverting RAW file...\n");

    std::remove(destPath.c_str());
    int out = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int err[2] = {-1, -1};
    int status;
    if (out < 0 || pipe2(err, O_CLOEXEC) != 0) {
        status = 126;
    } else {
        pid_t pid = startChild(locateConverter(run.settings), args, out, err[1]);
        const int spawnErrno = errno;
        ::close(err[1]);
        if (pid < 0) {
            status = (spawnErrno == ENOENT) ? 127 : 126;  // the shell's codes for these cases
        } else {
            // The converter's messages reach the run's console, read to the
            // end before the wait so that a talkative converter never blocks.
            std::string messages;
            char buffer[4096];
            for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) != 0;) {
                if (n > 0)
                    messages.append(buffer, static_cast<size_t>(n));
                else if (errno != EINTR)
                    break;
            }
            status = waitChild(pid);
            if (!messages.empty() && messages.back() != '\n')
                messages += '\n';
            if (!messages.empty())
                run.console.write(messages, MessageKind::Notice);
        }
    }
    if (err[0] >= 0)
        ::close(err[0]);
    if (out >= 0 && ::close(out) != 0 && status == 0)
        status = 126;

    if (status != 0) {
        std::remove(destPath.c_str());
        run.console.notice("Return value: %d\n\n", status);
        return fatalError(kConvertFailure).withKind(ErrorKind::Input);
    }
    return Status();
}

} // namespace quovix
