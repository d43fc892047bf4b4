// Progress of a headless render on stderr: a bar redrawn in place with the
// passes done and the time left when stderr is a terminal, otherwise plain
// lines (at most about one a second, and always the last), so that logs of
// scripted runs stay readable.
#pragma once

#include <cstdio>

class ProgressReport {
public:
    ProgressReport(int totalPasses, bool terminal, std::FILE* out = stderr);

    // passesDone of the total are finished after elapsedSeconds of rendering.
    void update(int passesDone, double elapsedSeconds);
    // Ends the bar's line; call once after the last update.
    void finish();

private:
    int totalPasses_;
    bool terminal_;
    std::FILE* out_;
    double lastShown_ = -1.0;
    bool drawn_ = false;
};
