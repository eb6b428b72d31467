#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace quovix {

namespace {

// Formats into a fixed buffer; over-long messages are cut.
template <size_t N>
std::string formatText(const char* format, va_list args)
{
    char text[N];
    int length = std::vsnprintf(text, sizeof text, format, args);
    if (length < 0)
        return std::string();
    return std::string(text, static_cast<size_t>(length) < N ? static_cast<size_t>(length) : N - 1);
}

// Console text is not limited by a buffer: paths may be long.
std::string formatUnbounded(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    if (static_cast<size_t>(length) < sizeof small)
        return std::string(small, static_cast<size_t>(length));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

} // namespace

Console::Console(MessageCallback sink, bool traceResources, std::string debugLogPath)
    : sink_(std::move(sink)), trace_(traceResources), configuredLogPath_(std::move(debugLogPath))
{
}

void Console::deliver(MessageKind kind, std::string_view text)
{
    if (sinkFailed_)
        return;
    try {
        sink_(kind, text);
    } catch (const std::exception& e) {
        sinkFailed_ = true;
        sinkError_ = e.what();
    } catch (...) {
        sinkFailed_ = true;
        sinkError_ = "an exception that is not a std::exception";
    }
}

void Console::emit(MessageKind kind, std::string_view text)
{
    if (!sink_ || text.empty())
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    // A warning may be shown apart from the console text (another stream),
    // so it does not end that text's line.
    if (kind != MessageKind::Warning)
        atLineStart_ = text.back() == '\n';
    deliver(kind, text);
}

Status Console::callbackStatus() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sinkFailed_)
        return Status();
    return fatalError("The message callback threw: " + sinkError_).withKind(ErrorKind::Callback);
}

void Console::write(std::string_view text, MessageKind kind)
{
    emit(kind, text);
}

void Console::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formatUnbounded(format, args);
    va_end(args);
    emit(MessageKind::Info, text);
}

void Console::warn(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formatUnbounded(format, args);
    va_end(args);
    emit(MessageKind::Warning, "Warning: " + text + "\n");
}

void Console::notice(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formatUnbounded(format, args);
    va_end(args);
    emit(MessageKind::Notice, text);
}

void Console::showErrorBox(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formatText<1024>(format, args);
    va_end(args);
    emit(MessageKind::Notice, text + "\n");
}

void Console::debugLog(const char* format, ...)
{
    if (logPath_.empty()) {
        if (configuredLogPath_.empty())
            return;
        logPath_ = configuredLogPath_;
    }
    va_list args;
    va_start(args, format);
    std::string line = formatText<8192>(format, args);
    va_end(args);

    FILE* f = std::fopen(logPath_.c_str(), "a");
    if (f == nullptr) {
        notice("Cannot open debug output file: %s", logPath_.c_str());
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::fprintf(f, "-- %02d:%02d:%02d.%03d --> ", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(now.tv_nsec / 1000000));
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
}

void Console::traceNumbered(std::atomic<uint32_t>& counter, const char* format, const void* address, int size)
{
    if (!trace_ || !sink_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    int number = static_cast<int>(counter++);
    char line[128];
    if (size >= 0)
        std::snprintf(line, sizeof line, format, number, address, size);
    else
        std::snprintf(line, sizeof line, format, number, address);
    deliver(MessageKind::Trace, line);
}

void Console::traceFileOpen(const char* path, const char* mode, const void* handle)
{
    if (!trace_)
        return;
    char tail[64];
    std::snprintf(tail, sizeof tail, "|open(%s)|%p\n", mode, handle);
    emit(MessageKind::Trace, std::string("File|") + path + tail);
}

void Console::traceFileClose(const void* handle)
{
    traceNumbered(counters.fileCloseCount, "File|%d|close|%p\n", handle);
}

int64_t clockMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void printElapsed(Console& console, const char* label, int64_t startMs)
{
    console.print("%s:  Elapsed time=%.2f secs\n", label, static_cast<double>(clockMs() - startMs) / 1000.0);
}

} // namespace quovix
