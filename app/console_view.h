// What the program shows while a run goes on: the console text on standard
// output, warnings on standard error, and, when standard error is a terminal,
// one progress line (stage, percent, time left) that gives way to each piece
// of text and is drawn again after it. Quiet, only warnings and notices (the
// lines of a failure, values reset) are shown.
#pragma once

#include "quovix/quovix.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class ConsoleView {
public:
    // `progressLine`: draw the progress line (stderr is a terminal, not quiet).
    // `sharedTerminal`: standard output is the same terminal, so the line sits
    // after any unfinished console line instead of on a line of its own.
    ConsoleView(bool quiet, bool progressLine, bool sharedTerminal);

    void message(quovix::MessageKind kind, std::string_view text);
    void progress(std::string_view stage, double fraction);
    // Removes the progress line for good, before the run's last words.
    void clearProgress();

private:
    void erase();
    void draw();

    std::mutex mutex_;          // messages may come from workers, progress from the run's thread
    bool quiet_;
    bool progressLine_;
    bool sharedTerminal_;
    bool atLineStart_ = true;
    size_t shownWidth_ = 0;     // columns of the progress text on screen
    std::string stage_;
    double fraction_ = -1.0;
    int64_t startMs_ = 0;
    int64_t drawnMs_ = 0;
    int drawnPercent_ = -1;
};

// "Wrote out.tif: 4000x3000 pixels, 16 bits per sample, 48.2 MB, 12.3 s".
std::string summaryLine(const quovix::FuseResult& result, int64_t bytes, double seconds);

// "about 1 min 5 s left" for a run `fraction` done after `elapsedMs`; empty
// while too little is done to tell.
std::string timeLeft(double fraction, int64_t elapsedMs);

int64_t monotonicMs();
