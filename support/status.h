// Errors as values. A failed step returns a Status carrying the exit code the
// command line must end with and the text it prints as the final error line;
// callers pass it up unchanged ("if a function you call fails, just return its
// status").
#pragma once

#include "quovix/quovix.h"

#include <optional>
#include <string>
#include <utility>

namespace quovix {

class [[nodiscard]] Status {
public:
    Status() = default;

    // A failure whose console text is printed exactly as given. Its kind
    // follows from the exit code unless given: invalid use for 1, an input
    // for the I/O code.
    static Status failure(int exitCode, std::string consoleText, std::optional<ErrorKind> kind = std::nullopt)
    {
        Status s;
        s.exitCode_ = exitCode;
        s.text_ = std::move(consoleText);
        s.failed_ = true;
        s.kind_ = kind ? *kind : kindOfExitCode(exitCode);
        return s;
    }

    // A file that could not be written completely; the caller may report it
    // under the name the user knows.
    static Status writeFailure(const std::string& path, std::string consoleText)
    {
        Status s = failure(kExitIoError, std::move(consoleText), ErrorKind::Output);
        s.unwrittenFile_ = path;
        return s;
    }

    bool ok() const { return !failed_; }
    const std::string& unwrittenFile() const { return unwrittenFile_; }
    int exitCode() const { return exitCode_; }
    ErrorKind kind() const { return kind_; }
    // The same failure under another kind, where the exit code alone would
    // tell the wrong cause (a fatal error writing the output).
    Status withKind(ErrorKind kind) const
    {
        Status s = *this;
        if (failed_)
            s.kind_ = kind;
        return s;
    }
    // The final error text the command line prints (no line end added).
    const std::string& consoleText() const { return text_; }

private:
    int exitCode_ = kExitOk;
    std::string text_;
    std::string unwrittenFile_;
    bool failed_ = false;
    ErrorKind kind_ = ErrorKind::None;

    static ErrorKind kindOfExitCode(int exitCode)
    {
        switch (exitCode) {
        case kExitIoError:
            return ErrorKind::Input;
        case kExitNoMemory:
            return ErrorKind::OutOfMemory;
        case kExitInterrupted:
            return ErrorKind::Interrupted;
        default:
            return ErrorKind::Usage;
        }
    }
};

// The fatal-error convention: "Fatal Error: <message>\n" and the code
// (normally 1). Messages often end in their own line end, which is kept.
inline Status fatalError(const std::string& message, int code = kExitFatal)
{
    return Status::failure(code, "Fatal Error: " + message + "\n");
}

// An exception that escaped a step: a fault of the library, not of the use.
inline Status internalError(const std::string& message)
{
    return fatalError(message).withKind(ErrorKind::Internal);
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
