// Errors as values. A failed step returns a Status carrying the exit code the
// command line must end with and the text it prints as the final error line;
// callers pass it up unchanged ("if a function you call fails, just return its
// status").
#pragma once

#include "quovix/quovix.h"

#include <string>
#include <utility>

namespace quovix {

class [[nodiscard]] Status {
public:
    Status() = default;

    // A failure whose console text is printed exactly as given.
    static Status failure(int exitCode, std::string consoleText)
    {
        Status s;
        s.exitCode_ = exitCode;
        s.text_ = std::move(consoleText);
        s.failed_ = true;
        return s;
    }

    // A file that could not be written completely; the caller may report it
    // under the name the user knows.
    static Status writeFailure(const std::string& path, std::string consoleText)
    {
        Status s = failure(kExitIoError, std::move(consoleText));
        s.unwrittenFile_ = path;
        return s;
    }

    bool ok() const { return !failed_; }
    const std::string& unwrittenFile() const { return unwrittenFile_; }
    int exitCode() const { return exitCode_; }
    // The final error text the command line prints (no line end added).
    const std::string& consoleText() const { return text_; }

private:
    int exitCode_ = kExitOk;
    std::string text_;
    std::string unwrittenFile_;
    bool failed_ = false;
};

// The fatal-error convention: "Fatal Error: <message>\n" and the code
// (normally 1). Messages often end in their own line end, which is kept.
inline Status fatalError(const std::string& message, int code = kExitFatal)
{
    return Status::failure(code, "Fatal Error: " + message + "\n");
}

// The run was stopped through its cancel flag.
inline Status interrupted()
{
    return Status::failure(kExitInterrupted, "Interrupted\n");
}

// Memory exhausted; the caller has already printed which request failed.
inline Status outOfMemory()
{
    return Status::failure(kExitNoMemory, "Insufficient memory available to continue");
}

} // namespace quovix

// Returns from the enclosing function when the expression fails.
#define QVX_TRY(expression)                       \
    do {                                          \
        ::quovix::Status qvxStatus_ = (expression); \
        if (!qvxStatus_.ok())                     \
            return qvxStatus_;                    \
    } while (0)
