#include "app/console_view.h"

#include <time.h>

#include <cmath>
#include <cstdio>

int64_t monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

ConsoleView::ConsoleView(bool quiet, bool progressLine, bool sharedTerminal)
    : quiet_(quiet), progressLine_(progressLine && !quiet), sharedTerminal_(sharedTerminal),
      startMs_(monotonicMs())
{
}

void ConsoleView::message(quovix::MessageKind kind, std::string_view text)
{
    using quovix::MessageKind;
    const bool warning = kind == MessageKind::Warning;
    if (text.empty() || (quiet_ && !warning && kind != MessageKind::Notice))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    erase();
    if (warning) {
        // On a terminal both streams share, a warning starts a line of its own.
        if (sharedTerminal_ && !atLineStart_)
            std::fputc('\n', stderr);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    if (sharedTerminal_)
        atLineStart_ = text.back() == '\n';
    draw();
}

void ConsoleView::progress(std::string_view stage, double fraction)
{
    if (!progressLine_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    const int percent = static_cast<int>(fraction * 100.0);
    const int64_t now = monotonicMs();
    // Redrawn when the stage or the percent changes, and each second for the
    // time left; never more often than ten times a second.
    if (stage == stage_ && (percent == drawnPercent_ ? now - drawnMs_ < 1000 : now - drawnMs_ < 100))
        return;
    stage_ = stage;
    fraction_ = fraction;
    erase();
    draw();
}

void ConsoleView::clearProgress()
{
    std::lock_guard<std::mutex> lock(mutex_);
    progressLine_ = false;
    erase();
}

void ConsoleView::erase()
{
    if (shownWidth_ == 0)
        return;
    // Back over the progress text only: an unfinished console line before it
    // stays as it is.
    std::fprintf(stderr, "\033[%zuD\033[K", shownWidth_);
    std::fflush(stderr);
    shownWidth_ = 0;
}

void ConsoleView::draw()
{
    if (!progressLine_ || fraction_ < 0.0)
        return;
    const int64_t now = monotonicMs();
    const int percent = static_cast<int>(fraction_ * 100.0);
    std::string text = stage_ + " " + std::to_string(percent) + "%";
    const std::string left = timeLeft(fraction_, now - startMs_);
    if (!left.empty())
        text += ", " + left;
    if (!atLineStart_)
        text = "  [" + text + "]";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    shownWidth_ = text.size();
    drawnMs_ = now;
    drawnPercent_ = percent;
}

std::string timeLeft(double fraction, int64_t elapsedMs)
{
    if (fraction < 0.02 || fraction >= 1.0 || elapsedMs < 1000)
        return {};
    const double seconds = std::ceil(static_cast<double>(elapsedMs) / 1000.0 * (1.0 - fraction) / fraction);
    const long total = static_cast<long>(seconds);
    char text[64];
    if (total >= 60)
        std::snprintf(text, sizeof text, "about %ld min %ld s left", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "about %ld s left", total);
    return text;
}

std::string summaryLine(const quovix::FuseResult& result, int64_t bytes, double seconds)
{
    char text[128];
    std::snprintf(text, sizeof text, ": %dx%d pixels, %d bits per sample, %.1f MB, %.1f s\n", result.width,
                  result.height, result.bitsPerSample, static_cast<double>(bytes) / 1e6, seconds);
    return "Wrote " + result.outputPath + text;
}
