#include "app/headless/ProgressReport.h"

#include <string>

namespace {

constexpr int kBarWidth = 30;
// Redraws of the bar and plain progress lines, at most this often.
constexpr double kTerminalInterval = 0.1;
constexpr double kPlainInterval = 1.0;

std::string formatDuration(double seconds) {
    char text[32];
    if (seconds < 60.0) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else {
        const long total = long(seconds + 0.5);
        std::snprintf(text, sizeof text, "%ld:%02ld min", total / 60, total % 60);
    }
    return text;
}

}  // namespace

ProgressReport::ProgressReport(int totalPasses, bool terminal, std::FILE* out)
    : totalPasses_(totalPasses), terminal_(terminal), out_(out) {}

void ProgressReport::update(int passesDone, double elapsedSeconds) {
    if (!terminal_ && passesDone == 0) return;  // a plain line needs a pass done
    const bool last = passesDone >= totalPasses_;
    const double interval = terminal_ ? kTerminalInterval : kPlainInterval;
    if (!last && lastShown_ >= 0.0 && elapsedSeconds - lastShown_ < interval) return;
    lastShown_ = elapsedSeconds;

    // Every pass costs about the same, so the mean so far predicts the rest.
    const double left =
        passesDone > 0 ? elapsedSeconds / passesDone * double(totalPasses_ - passesDone) : 0.0;
    std::string timing;
    if (last)
        timing = ", " + formatDuration(elapsedSeconds) + " taken";
    else if (passesDone > 0)
        timing = ", about " + formatDuration(left) + " left";
    if (terminal_) {
        const int filled = int(double(kBarWidth) * passesDone / totalPasses_);
        std::string bar(size_t(filled), '#');
        bar.append(size_t(kBarWidth - filled), '.');
        std::fprintf(out_, "\r[%s] %d/%d passes%s\033[K", bar.c_str(), passesDone, totalPasses_,
                     timing.c_str());
        drawn_ = true;
    } else {
        std::fprintf(out_, "pass %d of %d done%s\n", passesDone, totalPasses_, timing.c_str());
    }
    std::fflush(out_);
}

void ProgressReport::finish() {
    if (terminal_ && drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
}
